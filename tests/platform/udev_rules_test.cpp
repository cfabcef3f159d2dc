// The udev rule writer: one rule per vendor:product pair, nothing at all on a bad pair.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Result {
    int status;
    std::string out;
};

Result RunWriter(const std::string& ids) {
    std::string cmd = "PELMO_USB_IDS='" + ids + "' sh " PELMO_UDEV_DIR "/pelmo-udev-rules 2>/dev/null";
    Result r{-1, ""};
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) r.out += buf;
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

TEST(UdevRules, OneTaggingRulePerPair) {
    Result r = RunWriter("1234:5678,ABCD:1");
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("ATTR{idVendor}==\"1234\", ATTR{idProduct}==\"5678\", ENV{ID_PELMO_UNIT}=\"1\"\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("ATTR{idVendor}==\"abcd\", ATTR{idProduct}==\"0001\""), std::string::npos);
    EXPECT_NE(r.out.find("LABEL=\"pelmo_end\""), std::string::npos);
}

TEST(UdevRules, BadPairsWriteNothing) {
    for (const char* ids : {"", "1234", "12:zz", "12345:1", ":12", "12:", "1234:5678:9", "1234:5678,oops"}) {
        Result r = RunWriter(ids);
        EXPECT_EQ(r.status, 2) << ids;
        EXPECT_EQ(r.out, "") << ids;
    }
}

TEST(UdevRules, AccessRuleGrantsTaggedUnitsToTheSeat) {
    FILE* f = std::fopen(PELMO_UDEV_DIR "/61-pelmo-uaccess.rules", "r");
    ASSERT_NE(f, nullptr);
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f)) text += buf;
    std::fclose(f);
    EXPECT_NE(text.find("ENV{ID_PELMO_UNIT}==\"1\", TAG+=\"uaccess\""), std::string::npos);
}

}  // namespace
