#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/unit_model.h"

namespace testsupport {

// Puts simulated unit models behind the USB kind of the link layer, without any
// protocol in between: the RAM layer then sees units that alias, fold, lose writes
// and stop answering like hardware. Restores the previous driver when destroyed.
class SimUnits {
public:
    SimUnits();
    ~SimUnits();
    // Adds a unit answering to `unitNumber`; the reference stays valid for the fixture's life.
    sim::UnitModel& add(uint32_t ramKB, uint8_t unitNumber, uint8_t level = 0);
    // Opens it through ZAMInit; returns the link handle (fails the test on error).
    uint32_t open(uint8_t unitNumber);
    uint32_t setFoldCalls() const;
};

// A fresh empty directory under the system temp folder, removed at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);
std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

// Runs a shell command line; returns its exit status and fills `out` with stdout+stderr.
int RunCommand(const std::string& command, std::string* out = nullptr);
bool HaveProgram(const char* name);

// Runs srec_cat with `args` in `dir`; fails the calling test when srec_cat fails.
void SrecCat(const std::string& dir, const std::string& args);

// The names in a folder (not "." or ".."), sorted, each followed by a line end.
std::string ListFolder(const std::string& path);
// The system's text for a name whose folder does not exist (on Windows a code of its
// own, "path not found"; on POSIX the missing file's).
std::string MissingFolderText();

}  // namespace testsupport
