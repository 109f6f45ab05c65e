// Checks that what ships beside the programs keeps up with them: the manual
// pages, the README's options overview and the bash completion name exactly
// the options the parsers know, and the pages render without a warning.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "control/command_line.h"
#include "control/help.h"
#include "sim_options.h"

namespace {

const std::string kSourceDir = SERCAP_SOURCE_DIR;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_TRUE(in.good() || in.eof()) << "cannot read " << path;
  return text.str();
}

// Option words by the group they are listed under.
using OptionGroups = std::map<std::string, std::set<std::string>>;

std::set<std::string> allWords(const OptionGroups& groups) {
  std::set<std::string> words;
  for (const auto& [group, members] : groups) words.insert(members.begin(), members.end());
  return words;
}

// The option words named in the tags of a page's OPTIONS section (the line
// after each ".TP", written "\-" in the page source), by the ".SS" they
// stand under ("" before any).
OptionGroups documentedGroups(const std::string& page) {
  static const std::regex kWord(R"((\\-)+[A-Za-z0-9]+(\\-[A-Za-z0-9]+)*)");
  static const std::regex kRoffDash(R"(\\-)");
  OptionGroups groups;
  std::string group;
  std::istringstream lines(page);
  bool inOptions = false;
  bool tagLine = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(".SH", 0) == 0) {
      inOptions = line == ".SH OPTIONS";
      continue;
    }
    if (!inOptions) continue;
    if (line.rfind(".SS ", 0) == 0) group = line.substr(4);
    if (tagLine) {
      for (std::sregex_iterator m(line.begin(), line.end(), kWord), end; m != end; ++m) {
        groups[group].insert(std::regex_replace(m->str(), kRoffDash, "-"));
      }
    }
    tagLine = line == ".TP";
  }
  return groups;
}

std::set<std::string> documentedOptions(const std::string& page) {
  return allWords(documentedGroups(page));
}

std::set<std::string> optionTableWords(bool onlyValueOptions) {
  std::set<std::string> words;
  for (const OptionWord& option : kOptionWords) {
    if (!onlyValueOptions || option.takesValue) words.insert(option.word);
  }
  return words;
}

// The words of `local NAME='...'` in the completion script.
std::set<std::string> completionList(const std::string& script, const std::string& name) {
  const std::regex assignment("local " + name + "='([^']*)'");
  std::smatch m;
  EXPECT_TRUE(std::regex_search(script, m, assignment)) << name << " not found";
  std::istringstream words(m.size() > 1 ? m[1].str() : "");
  std::set<std::string> list;
  for (std::string word; words >> word;) list.insert(word);
  return list;
}

TEST(ManualPage, SercapDocumentsExactlyTheParsersOptions) {
  const std::set<std::string> documented =
      documentedOptions(readFile(kSourceDir + "/doc/sercap.1"));
  EXPECT_EQ(documented, optionTableWords(false))
      << "every option in kOptionWords needs an entry (.TP) under OPTIONS in doc/sercap.1, "
         "and no other option may have one";
}

// The README's options overview: the rows of the table under "## Options",
// each "| group | ... |", and in each every backquoted text that begins with
// a dash ("`-f FILE`") names an option.
OptionGroups readmeOverviewGroups(const std::string& readme) {
  static const std::regex kRow(R"(^\| ([^|]+) \|(.*)$)");
  static const std::regex kWord(R"(`(--?[A-Za-z0-9]+(-[A-Za-z0-9]+)*))");
  const size_t start = readme.find("\n## Options\n");
  EXPECT_NE(start, std::string::npos) << "README.md has no \"## Options\" section";
  if (start == std::string::npos) return {};
  const size_t end = readme.find("\n## ", start + 1);
  std::istringstream lines(readme.substr(start, end - start));
  OptionGroups groups;
  for (std::string line; std::getline(lines, line);) {
    std::smatch row;
    if (!std::regex_match(line, row, kRow)) continue;
    const std::string cells = row[2].str();
    for (std::sregex_iterator m(cells.begin(), cells.end(), kWord), last; m != last; ++m) {
      groups[row[1].str()].insert((*m)[1].str());
    }
  }
  return groups;
}

// The --help text's groups: a heading line ("Port and file:"), then its
// options, one an indented line ("  -f FILE ...", "  --timestamps[=...").
OptionGroups helpGroups() {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return {};
  printHelp(out, "sercap");
  std::fclose(out);
  std::istringstream lines(std::string(text, size));
  std::free(text);
  static const std::regex kOption(R"(^  (--?[A-Za-z0-9-]+)[ \[])");
  OptionGroups groups;
  std::string group;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!line.empty() && line[0] != ' ' && line.back() == ':') {
      group = line.substr(0, line.size() - 1);
    } else if (std::regex_search(line, m, kOption)) {
      groups[group].insert(m[1].str());
    }
  }
  return groups;
}

TEST(Readme, OptionsOverviewNamesExactlyTheParsersOptions) {
  EXPECT_EQ(allWords(readmeOverviewGroups(readFile(kSourceDir + "/README.md"))),
            optionTableWords(false))
      << "every option in kOptionWords belongs in the README's options overview, "
         "and no other option";
}

// A reader finds an option under the same group in --help, in the README's
// overview and in the manual page.
// (Skipped while --help lists its options under no headings.)
TEST(Readme, OptionsOverviewGroupsTheOptionsAsHelpDoes) {
  const OptionGroups help = helpGroups();
  if (help.size() < 2) GTEST_SKIP() << "--help lists its options in no groups";
  EXPECT_EQ(readmeOverviewGroups(readFile(kSourceDir + "/README.md")), help);
}

TEST(ManualPage, SercapGroupsTheOptionsAsHelpDoes) {
  const OptionGroups help = helpGroups();
  if (help.size() < 2) GTEST_SKIP() << "--help lists its options in no groups";
  EXPECT_EQ(documentedGroups(readFile(kSourceDir + "/doc/sercap.1")), help);
}

TEST(ManualPage, SercapSimDocumentsItsOptions) {
  const std::set<std::string> documented =
      documentedOptions(readFile(kSourceDir + "/doc/sercap-sim.1"));
  // Every option in the --help text is documented...
  static const std::regex kHelpOption(R"(^ +(--[a-z-]+))");
  std::istringstream help(simUsage());
  int helpOptions = 0;
  for (std::string line; std::getline(help, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, kHelpOption)) continue;
    ++helpOptions;
    EXPECT_TRUE(documented.count(m[1].str())) << m[1] << " is not in doc/sercap-sim.1";
  }
  EXPECT_GE(helpOptions, 10) << "the --help text no longer lists options as expected";
  // ...and every documented option is one the simulator knows.
  for (const std::string& word : documented) {
    SimOptions options;
    std::string error;
    parseSimOptions({word}, &options, &error);
    EXPECT_EQ(error.find("unknown argument"), std::string::npos) << word << ": " << error;
  }
}

TEST(ManualPage, PagesRenderWithoutWarnings) {
  for (const char* page : {"sercap.1", "sercap-sim.1"}) {
    const std::string command = "groff -man -ww -z '" + kSourceDir + "/doc/" + page + "' 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << page << ": " << output << "(scripts/install-deps installs groff)";
    EXPECT_EQ(output, "") << page;
  }
}

TEST(BashCompletion, KnowsExactlyTheParsersOptions) {
  const std::string script = readFile(kSourceDir + "/completion/sercap");
  EXPECT_EQ(completionList(script, "options"), optionTableWords(false));
  EXPECT_EQ(completionList(script, "value_options"), optionTableWords(true));
}

}  // namespace
