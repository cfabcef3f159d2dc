#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#else
#include <process.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "link/errors.h"
#include "link/link.h"
#include "link/transport.h"
#include "platform/syserror.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif
#include <algorithm>

namespace testsupport {
namespace {

std::map<uint8_t, std::unique_ptr<sim::UnitModel>> g_units;
const KindDriver* g_previous = nullptr;
uint32_t g_setFoldCalls = 0;

sim::UnitModel* Model(void* impl) { return static_cast<sim::UnitModel*>(impl); }

uint32_t SimOpen(uint32_t unit, uint32_t, uint32_t, LinkOpenResult* out) {
    auto it = g_units.find(static_cast<uint8_t>(unit));
    if (unit > 3 || it == g_units.end() || it->second->dead()) return LINK_NOT_AVAILABLE;
    out->impl = it->second.get();
    out->Level = it->second->level();
    out->Info = it->second->identity();
    return LINK_OK;
}
void SimClose(void*) {}
// A unit that stopped answering looks like a command whose answer never comes.
constexpr uint32_t kNoAnswer = LINK_USB_ANSWER_BASE + USB_RESULT_TIMEOUT;
uint32_t SimWrite(void* impl, uint32_t a, const uint8_t* data, uint32_t n) {
    if (Model(impl)->dead()) return kNoAnswer;
    Model(impl)->write(a, data, n);
    return LINK_OK;
}
uint32_t SimRead(void* impl, uint8_t* buf, uint32_t a, uint32_t n) {
    if (Model(impl)->dead()) return kNoAnswer;
    Model(impl)->read(a, buf, n);
    return LINK_OK;
}
uint32_t SimCompare(void* impl, uint32_t* equal, uint8_t* unitByte, uint32_t a, const uint8_t* data, uint32_t n) {
    if (Model(impl)->dead()) return kNoAnswer;
    uint32_t i = 0;
    while (i < n && Model(impl)->peek(a + i) == data[i]) ++i;
    *equal = i;
    if (i < n) *unitByte = Model(impl)->peek(a + i);
    return LINK_OK;
}
uint32_t SimSetReset(void* impl, uint32_t level) {
    if (Model(impl)->dead()) return kNoAnswer;
    if ((level & 3) != 3) Model(impl)->setResetLevel(static_cast<uint8_t>(level & 3));
    return LINK_OK;
}
uint32_t SimGetReset(void* impl, uint32_t* level) {
    if (Model(impl)->dead()) return kNoAnswer;
    *level = Model(impl)->resetLevel();
    return LINK_OK;
}
uint32_t SimSetFold(void* impl, uint32_t devSize, uint32_t ramSize) {
    if (Model(impl)->dead()) return kNoAnswer;
    ++g_setFoldCalls;
    if (devSize != ramSize) Model(impl)->fold(devSize, ramSize);
    return LINK_OK;
}

const KindDriver kSimDriver{SimOpen, SimClose, SimWrite, SimRead, SimCompare, SimSetReset, SimGetReset, SimSetFold};

}  // namespace

SimUnits::SimUnits() {
    g_units.clear();
    g_setFoldCalls = 0;
    g_previous = LinkSetKindDriver(SLOT_USB, &kSimDriver);
}

SimUnits::~SimUnits() {
    ZAMCloseAll();
    LinkSetKindDriver(SLOT_USB, g_previous == &kSimDriver ? nullptr : g_previous);
    g_units.clear();
}

sim::UnitModel& SimUnits::add(uint32_t ramKB, uint8_t unitNumber, uint8_t level) {
    auto& slot = g_units[unitNumber];
    slot = std::make_unique<sim::UnitModel>(ramKB, unitNumber, level);
    return *slot;
}

uint32_t SimUnits::open(uint8_t unitNumber) {
    uint32_t handle = 0;
    EXPECT_EQ(ZAMInit(&handle, SELECT_USB, unitNumber, 0, 0), LINK_OK);
    return handle;
}

uint32_t SimUnits::setFoldCalls() const { return g_setFoldCalls; }

TempDir::TempDir() {
#ifdef _WIN32
    // A folder of this process's own under the system's temporary folder.
    static unsigned counter = 0;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::filesystem::path p =
            base / ("pelmo-test-" + std::to_string(_getpid()) + "-" + std::to_string(++counter));
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec)) {
            path_ = p.generic_string();
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
#else
    char tmpl[] = "/tmp/pelmo-test-XXXXXX";
    const char* p = mkdtemp(tmpl);
    if (p == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = p;
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    sim::SeededRandom r(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(r.next() >> 24);
    return v;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

#ifdef _WIN32
// Through the command processor, as _popen runs it.
int RunCommand(const std::string& command, std::string* out) {
    std::string full = command + " 2>&1";
    FILE* p = _popen(full.c_str(), "rb");
    if (p == nullptr) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = _pclose(p);
    if (out) *out = text;
    return status;
}

bool HaveProgram(const char* name) { return RunCommand(std::string("where ") + name + " >NUL") == 0; }
#else
int RunCommand(const std::string& command, std::string* out) {
    std::string full = command + " 2>&1";
    FILE* p = popen(full.c_str(), "r");
    if (p == nullptr) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveProgram(const char* name) { return RunCommand(std::string("command -v ") + name + " >/dev/null") == 0; }
#endif

void SrecCat(const std::string& dir, const std::string& args) {
    std::string out;
    ASSERT_EQ(RunCommand("cd '" + dir + "' && srec_cat " + args, &out), 0) << args << "\n" << out;
}

std::string ListFolder(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& n : names) text += n + "\n";
    return text;
}

std::string MissingFolderText() {
#ifdef _WIN32
    return SystemErrorText(ERROR_PATH_NOT_FOUND);
#else
    return SystemErrorText(ENOENT);
#endif
}

}  // namespace testsupport
