// The help file ZAM32.HLP as it ships beside the program, read the way the H
// command reads it: lines of at most 79 characters plus the line end, '#name'
// topic lines with names of 1 to 4 characters, a lone '#' as a page break.
// Its command topics follow the command table and its subcode topic follows the
// link error codes and caller stage numbers of the code itself.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "zam32/commands.h"

namespace {

constexpr size_t kMaxLine = 79;        // the viewer reads 80-character pieces, line end included
constexpr size_t kIndexedTopics = 60;  // topics found without reading the file again
constexpr size_t kPageLines = 22;      // 24 screen lines less the command line and the MORE prompt

std::string ReadWhole(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Topic {
    std::string name;
    size_t line = 0;                              // 1-based line of its '#name' line
    std::vector<std::vector<std::string>> pages;  // text lines, split at lone '#'
};

struct HelpFile {
    std::vector<std::string> lines;
    std::vector<Topic> topics;
    std::vector<std::string> badHashLines;  // '#' lines that are neither a topic nor a page break

    const Topic* Find(const std::string& name) const {
        for (const Topic& t : topics)
            if (Lower(t.name) == Lower(name)) return &t;
        return nullptr;
    }
};

HelpFile Parse(const std::string& text) {
    HelpFile h;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) h.lines.push_back(line);
    for (size_t i = 0; i < h.lines.size(); ++i) {
        const std::string& l = h.lines[i];
        if (l.empty() || l[0] != '#') {
            if (!h.topics.empty()) h.topics.back().pages.back().push_back(l);
            continue;
        }
        const std::string name = l.substr(1);
        if (name.empty()) {
            if (!h.topics.empty()) h.topics.back().pages.emplace_back();
            continue;
        }
        // A name of 5 or more characters is never found and silently ends the topic before it.
        if (name.size() > 4 || name.find(' ') != std::string::npos) {
            h.badHashLines.push_back(l);
            continue;
        }
        Topic t;
        t.name = name;
        t.line = i + 1;
        t.pages.emplace_back();
        h.topics.push_back(t);
    }
    return h;
}

const HelpFile& Shipped() {
    static const HelpFile h = Parse(ReadWhole(std::string(PELMO_BIN_DIR) + "/ZAM32.HLP"));
    return h;
}

std::vector<std::string> TopicText(const Topic& t) {
    std::vector<std::string> all;
    for (const auto& page : t.pages) all.insert(all.end(), page.begin(), page.end());
    return all;
}

// The command letters of the program's own table.
std::vector<char> CommandLetters() {
    std::vector<char> letters;
    for (int c = 1; c < 256; ++c) {
        const CommandEntry* e = FindCommand(static_cast<char>(c));
        if (e && e->command == c) letters.push_back(e->command);
    }
    return letters;
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

size_t SkipBlanks(const std::string& s, size_t i) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    return i;
}

// A decimal number standing alone at i: its value, with i moved past it.
bool NumberAt(const std::string& s, size_t& i, unsigned long* value) {
    size_t end = i;
    while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end]))) ++end;
    if (end == i || (end < s.size() && IsWordChar(s[end]))) return false;
    *value = std::stoul(s.substr(i, end - i));
    i = end;
    return true;
}

// Calls f(word, position after it) for every identifier that begins with `prefix`.
template <class F>
void ForEachWord(const std::string& src, const std::string& prefix, F f) {
    for (size_t at = src.find(prefix); at != std::string::npos; at = src.find(prefix, at + 1)) {
        if (at > 0 && IsWordChar(src[at - 1])) continue;
        size_t end = at;
        while (end < src.size() && IsWordChar(src[end])) ++end;
        f(src.substr(at, end - at), end);
    }
}

// Every "NAME = number" constant whose name begins with `prefix`.
std::map<std::string, unsigned long> Constants(const std::string& source, const std::string& prefix) {
    std::map<std::string, unsigned long> found;
    ForEachWord(source, prefix, [&](const std::string& name, size_t after) {
        size_t i = SkipBlanks(source, after);
        if (i >= source.size() || source[i] != '=' || (i + 1 < source.size() && source[i + 1] == '=')) return;
        i = SkipBlanks(source, i + 1);
        unsigned long value;
        if (NumberAt(source, i, &value)) found[name] = value;
    });
    return found;
}

// Every source file under the given folders.
std::string SourceFiles(std::initializer_list<const char*> dirs) {
    std::string all;
    for (const char* dir : dirs) {
        const std::filesystem::path root = std::filesystem::path(PELMO_SOURCE_DIR) / dir;
        if (!std::filesystem::is_directory(root)) continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            const std::string ext = entry.path().extension().string();
            if (entry.is_regular_file() && (ext == ".cpp" || ext == ".h"))
                all += ReadWhole(entry.path().string()) + "\n";
        }
    }
    return all;
}

// The link codes a user can meet: the plain codes, and every USB stage base plus each
// failing transport result (an answer for another command only while fetching one).
std::set<unsigned long> LinkCodes() {
    const std::string errors = ReadWhole(std::string(PELMO_SOURCE_DIR) + "/link/errors.h");
    const auto codes = Constants(errors, "LINK_");
    const auto results = Constants(errors, "USB_RESULT_");
    EXPECT_FALSE(codes.empty());
    EXPECT_FALSE(results.empty());
    std::set<unsigned long> seen;
    for (const auto& [name, value] : codes) {
        if (name == "LINK_OK") continue;
        if (name.size() < 5 || name.compare(name.size() - 5, 5, "_BASE") != 0) {
            seen.insert(value);
            continue;
        }
        for (const auto& [rname, r] : results) {
            if (rname == "USB_RESULT_OK" || rname == "USB_RESULT_CANCELLED") continue;
            if (rname == "USB_RESULT_OTHER_COMMAND" && name != "LINK_USB_ANSWER_BASE") continue;
            seen.insert(value + r);
        }
    }
    return seen;
}

// Caller stage numbers: named constants, named constant plus an offset, literal
// sites passed to the subcode reporters, and stages written into message texts.
std::set<unsigned long> StageNumbers() {
    const std::string src = SourceFiles({"link", "engine", "emucore", "zam32"});
    // Stage names live with the error codes and in the console (its memory commands);
    // other layers use STAGE-like names for their own steps (a port open's stages).
    const std::string homes = ReadWhole(std::string(PELMO_SOURCE_DIR) + "/link/errors.h") + SourceFiles({"zam32"});
    std::map<std::string, unsigned long> named = Constants(homes, "STAGE_");
    for (const auto& [n, v] : Constants(homes, "SITE_")) named[n] = v;
    std::set<unsigned long> stages;
    for (const auto& [n, v] : named) stages.insert(v);
    // NAME + n
    for (const char* prefix : {"STAGE_", "SITE_"})
        ForEachWord(src, prefix, [&](const std::string& name, size_t after) {
            size_t i = SkipBlanks(src, after);
            if (i >= src.size() || src[i] != '+' || !named.count(name)) return;
            i = SkipBlanks(src, i + 1);
            unsigned long offset;
            if (NumberAt(src, i, &offset)) stages.insert(named[name] + offset);
        });
    // A literal number among the arguments of a subcode report.
    for (const char* reporter : {"DeviceFailure", "LinkSubcodeText"})
        ForEachWord(src, reporter, [&](const std::string& name, size_t after) {
            size_t i = SkipBlanks(src, after);
            if (name != reporter || i >= src.size() || src[i] != '(') return;
            int depth = 0;
            for (size_t arg = i + 1; i < src.size(); ++i) {
                const char c = src[i];
                if (c == '(') ++depth;
                else if (c == ')') --depth;
                if ((c == ',' && depth == 1) || depth == 0) {
                    size_t at = SkipBlanks(src, arg);
                    unsigned long value;
                    if (NumberAt(src, at, &value) && SkipBlanks(src, at) == i) stages.insert(value);
                    arg = i + 1;
                }
                if (depth == 0) break;
            }
        });
    // A stage written into a message: "SUBCODE 010-".
    for (size_t at = src.find("SUBCODE "); at != std::string::npos; at = src.find("SUBCODE ", at + 1)) {
        size_t i = at + 8;
        unsigned long value;
        size_t end = i;
        while (end < src.size() && std::isdigit(static_cast<unsigned char>(src[end]))) ++end;
        if (end > i && end < src.size() && src[end] == '-' && NumberAt(src, i, &value)) stages.insert(value);
    }
    return stages;
}

// Numbers a row of a table explains: the numbers that open a line, before its text.
std::set<unsigned long> RowNumbers(const std::vector<std::string>& lines) {
    std::set<unsigned long> numbers;
    for (const std::string& l : lines) {
        std::istringstream words(l);
        std::string w;
        while (words >> w && !w.empty() && w.find_first_not_of("0123456789") == std::string::npos)
            numbers.insert(std::stoul(w));
    }
    return numbers;
}

std::string Join(const std::set<unsigned long>& s) {
    std::string out;
    for (unsigned long v : s) out += std::to_string(v) + " ";
    return out;
}

TEST(HelpFile, ShipsBesideTheProgramAsWritten) {
    const std::string built = ReadWhole(std::string(PELMO_BIN_DIR) + "/ZAM32.HLP");
    const std::string source = ReadWhole(std::string(PELMO_SOURCE_DIR) + "/zam32/ZAM32.HLP");
    ASSERT_FALSE(source.empty());
    EXPECT_EQ(built, source) << "the copy beside zam32 is stale or missing";
    EXPECT_EQ(source.back(), '\n');
}

TEST(HelpFile, LinesFitTheViewerAndTheScreen) {
    const HelpFile& h = Shipped();
    ASSERT_FALSE(h.lines.empty());
    for (size_t i = 0; i < h.lines.size(); ++i) {
        const std::string& l = h.lines[i];
        EXPECT_LE(l.size(), kMaxLine) << "line " << i + 1 << ": " << l;
        for (char c : l) {
            EXPECT_TRUE(c >= 0x20 && c <= 0x7E)
                << "line " << i + 1 << " holds byte " << int(static_cast<unsigned char>(c));
        }
        if (!l.empty()) { EXPECT_NE(l.back(), ' ') << "line " << i + 1 << " ends in a blank"; }
    }
    for (const std::string& l : h.badHashLines) ADD_FAILURE() << "'#' line that ends a topic unseen: " << l;
    ASSERT_FALSE(h.topics.empty());
    EXPECT_EQ(h.topics.front().line, 1u) << "text before the first topic is never shown";
    for (const Topic& t : h.topics)
        for (size_t p = 0; p < t.pages.size(); ++p) {
            EXPECT_FALSE(t.pages[p].empty()) << "topic " << t.name << " has an empty page " << p + 1;
            EXPECT_LE(t.pages[p].size(), kPageLines) << "topic " << t.name << " page " << p + 1;
        }
}

TEST(HelpFile, TopicNamesAreUniqueAndTheFrequentOnesAreIndexed) {
    const HelpFile& h = Shipped();
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < h.topics.size(); ++i) {
        const std::string key = Lower(h.topics[i].name);
        EXPECT_EQ(byName.count(key), 0u) << "topic " << h.topics[i].name << " at line " << h.topics[i].line
                                         << " repeats an earlier one, which hides it";
        byName.emplace(key, i);
    }
    std::vector<std::string> frequent = {"elp"};
    for (char c : CommandLetters()) frequent.emplace_back(1, c);
    for (const std::string& name : frequent) {
        auto it = byName.find(Lower(name));
        ASSERT_NE(it, byName.end()) << "no topic " << name;
        EXPECT_LT(it->second, kIndexedTopics) << "topic " << name << " lies beyond the indexed topics";
    }
}

TEST(HelpFile, EveryCommandHasATopicAndALineInTheGeneralTopic) {
    const HelpFile& h = Shipped();
    const Topic* general = h.Find("elp");
    ASSERT_NE(general, nullptr);
    const std::vector<char> letters = CommandLetters();
    ASSERT_FALSE(letters.empty());
    for (char c : letters) {
        const Topic* t = h.Find(std::string(1, c));
        ASSERT_NE(t, nullptr) << "no topic for command " << c;
        const auto text = TopicText(*t);
        bool syntax = false;
        for (const std::string& l : text)
            if (!l.empty() && std::toupper(static_cast<unsigned char>(l[0])) == c) syntax = true;
        EXPECT_TRUE(syntax) << "topic " << c << " shows no command line starting with " << c;
        bool listed = false;
        for (const std::string& l : TopicText(*general)) {
            const size_t at = l.find_first_not_of(' ');
            if (at != std::string::npos && std::toupper(static_cast<unsigned char>(l[at])) == c &&
                (at + 1 == l.size() || l[at + 1] == ' '))
                listed = true;
        }
        EXPECT_TRUE(listed) << "the general topic does not list command " << c;
    }
}

TEST(HelpFile, ReferencesNameExistingTopics) {
    const HelpFile& h = Shipped();
    size_t refs = 0;
    for (const std::string& l : h.lines)
        for (size_t at = l.find("ee H "); at != std::string::npos; at = l.find("ee H ", at + 1)) {
            if (at == 0 || (l[at - 1] != 's' && l[at - 1] != 'S') || (at > 1 && IsWordChar(l[at - 2]))) continue;
            std::string name = l.substr(at + 5, l.find(' ', at + 5) - (at + 5));
            while (!name.empty() && std::string(".,;:)").find(name.back()) != std::string::npos) name.pop_back();
            ++refs;
            EXPECT_NE(h.Find(name), nullptr) << "\"" << l << "\" refers to a missing topic";
        }
    EXPECT_GT(refs, 0u);
}

// The subcode topic explains, in rows of its stage table and its link-code tables,
// every stage number and every link code the code can report.
TEST(HelpFile, SubcodeTopicExplainsEveryStageAndLinkCode) {
    const HelpFile& h = Shipped();
    const Topic* sub = h.Find("SUB");
    ASSERT_NE(sub, nullptr);
    std::vector<std::string> stageRows, codeRows;
    int section = 0;  // 0 before the stage table, 1 stages, 2 link codes
    for (const std::string& l : TopicText(*sub)) {
        if (l.rfind("Stages", 0) == 0) section = 1;
        else if (l.rfind("Link codes", 0) == 0) section = 2;
        else if (section == 1) stageRows.push_back(l);
        else if (section == 2) codeRows.push_back(l);
    }
    const std::set<unsigned long> stagesExplained = RowNumbers(stageRows);
    const std::set<unsigned long> codesExplained = RowNumbers(codeRows);

    const std::set<unsigned long> stages = StageNumbers();
    ASSERT_TRUE(stages.count(100) && stages.count(500)) << Join(stages);
    std::set<unsigned long> missing;
    for (unsigned long s : stages)
        if (!stagesExplained.count(s)) missing.insert(s);
    EXPECT_TRUE(missing.empty()) << "stages without a row: " << Join(missing);

    const std::set<unsigned long> codes = LinkCodes();
    ASSERT_TRUE(codes.count(1) && codes.count(26) && codes.count(1005)) << Join(codes);
    missing.clear();
    for (unsigned long k : codes)
        if (!codesExplained.count(k)) missing.insert(k);
    EXPECT_TRUE(missing.empty()) << "link codes without a row: " << Join(missing);

    std::set<unsigned long> unknown;
    for (unsigned long k : codesExplained)
        if (!codes.count(k)) unknown.insert(k);
    EXPECT_TRUE(unknown.empty()) << "rows for codes the program never reports: " << Join(unknown);
}

}  // namespace
