// Boards that speak no end mark: the run ends on a text of the user's
// (--end-on) and answers prompts on the way (--expect/--send), the texts
// found in the bytes as they arrive, before the filter, with the worker
// reading by arrival so that a prompt without a line feed is read at all.
#include <filesystem>
#include <regex>
#include <thread>

#include "sercap_test.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The summary's value for `key` as its JSON text, or "" when it is missing.
std::string summaryValue(const std::string& json, const std::string& key) {
  const std::regex pattern("\n  \"" + key + "\": ([^\n]*?),?\n");
  std::smatch m;
  return std::regex_search(json, m, pattern) ? m[1].str() : "";
}

using EndTextTest = SercapTest;

// What the device sends comes in pieces, each taken by sercap before the
// next is sent, so that a text is split across reads; none of the texts is
// followed by a line feed, so only reading by arrival reads them.
struct EndCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> pieces;
  int status;
  std::string file;     // the capture file
  std::string out;      // the console
  std::string endText;  // the summary's end_text, as JSON
};

TEST_F(EndTextTest, TheRunEndsOnceTheTextHasArrived) {
  const EndCase cases[] = {
      // Without a line feed after it: read by arrival, or never.
      {"a prompt",
       {"--end-on", "login:"},
       {"boot\r\n", "login: "},
       0,
       "boot\r\nlogin:\r\n",
       "!\n",
       "\"login:\""},
      // Split byte by byte, each byte a read of its own.
      {"byte by byte",
       {"--end-on", "login:"},
       {"l", "o", "g", "i", "n", ":"},
       0,
       "login:\r\n",
       "\n",
       "\"login:\""},
      // Split across reads; the markers and what the filter drops change
      // nothing, and the rest of the read goes with the run.
      {"split, with markers",
       {"-mh", "--end-on", "PASSED"},
       {"noise ^PASS", "E", "D^ and more"},
       0,
       "PASSED\r\n",
       "\n",
       "\"PASSED\""},
      // Bytes the filter rejects are matched all the same.
      {"NUL and 0xFF",
       {"--end-on", "\\x00\\xff"},
       {std::string("a\0", 2),
        "\xff"
        "b"},
       0,
       "a\r\n",
       "!!\n",
       "\"\\u0000\xEF\xBF\xBD\""},  // 0xFF, not UTF-8, as U+FFFD
      // Of several texts the first to arrive ends the run; escapes.
      {"the first of several",
       {"--end-on", "FAIL\\r", "--end-on", "PASS\\r"},
       {"test 1: PASS\r\ntest 2: FAIL\r\n"},
       0,
       "test 1: PASS\r\n",
       "!\n",
       "\"PASS\\r\""},
      // A fail text still fails what was written; the end is the device's.
      {"with --fail-on and --expect-end",
       {"--end-on", "login:", "--fail-on", "panic", "--expect-end"},
       {"kernel panic\n", "login:"},
       3,
       "kernel panic\r\nlogin:\r\n",
       "\n>>>fail text in line 1 : panic\n\n",
       "\"login:\""},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(work().file("out.spt"));
    PtyDevice device;
    std::vector<std::string> args = {"-ntx", "1",       "-t",        "30",
                                     "-f",   "out.spt", "--summary", "s.json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto run = startOnLine(device, args);
    ASSERT_NE(run, nullptr);
    for (const std::string& piece : c.pieces) {
      ASSERT_TRUE(device.send(piece));
      if (&piece != &c.pieces.back()) {
        ASSERT_TRUE(device.waitUntilTaken());
      }
    }
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(workFile("out.spt"), c.file);
    EXPECT_EQ(result.out, c.out);
    const std::string json = workFile("s.json");
    EXPECT_EQ(summaryValue(json, "end"), "\"end-text\"") << json;
    EXPECT_EQ(summaryValue(json, "end_text"), c.endText) << json;
    EXPECT_EQ(summaryValue(json, "expect"), "") << json;
  }
}

// Without these options reading stays by line feed: a prompt after the
// last line feed's read waits unread until the time-out, and the file holds
// only the finished line.
TEST_F(EndTextTest, WithoutThemAPromptIsNotRead) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "3", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("boot\r\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send("login: "));
  ASSERT_TRUE(device.waitUntilTaken());
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "boot\r\n");
  EXPECT_EQ(result.out, "!\n");
}

using DialogueTest = SercapTest;

// Each step's text counts only after the step before it; each answer goes
// out once; -tx goes on beside them. Under -d each step is shown as it
// happens, after the text that made it.
TEST_F(DialogueTest, PromptsAnsweredInOrderBesideTheTransmissions) {
  PtyDevice device;
  auto run = startOnLine(device, {"-d",
                                  "-tx",
                                  "go",
                                  "-ntx",
                                  "1",
                                  "-t",
                                  "30",
                                  "-f",
                                  "out.spt",
                                  "--summary",
                                  "s.json",
                                  "--expect",
                                  "Hit any key",
                                  "--send",
                                  " ",
                                  "--expect",
                                  "=> ",
                                  "--send",
                                  "run selftest\\n",
                                  "--end-on",
                                  "login:"});
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(device.receive(1, seconds(5)), "o");
  // The prompt before the key counts for nothing.
  // Each prompt comes after the line before it has been read.
  ASSERT_TRUE(device.send("=> \r\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send("Hit any key to stop autoboot:  3"));
  EXPECT_EQ(device.receive(1, seconds(20)), " ");
  ASSERT_TRUE(device.send("\b\b 0\r\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send("=> "));
  EXPECT_EQ(device.receive(13, seconds(20)), "run selftest\n");
  ASSERT_TRUE(device.send("run selftest\r\nALL TESTS PASSED\r\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send("simboard login: "));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"),
            "=> \r\nHit any key to stop autoboot:  3 0\r\n=> run selftest\r\n"
            "ALL TESTS PASSED\r\nsimboard login:\r\n");
  const std::string& out = result.out;
  const size_t key = out.find("Hit any key\n>>>expect 1 matched\n");
  const size_t sent1 = out.find("\n>>>sent 1\n");
  const size_t prompt = out.find("0<0d>.=> \n>>>expect 2 matched\n");
  const size_t sent2 = out.find("\n>>>sent 2\n");
  const size_t end = out.find("login:\n>>>end text 1 matched\n");
  ASSERT_NE(key, std::string::npos) << out;
  ASSERT_NE(prompt, std::string::npos) << out;
  ASSERT_NE(end, std::string::npos) << out;
  EXPECT_LT(key, sent1);
  EXPECT_LT(sent1, prompt);
  EXPECT_LT(prompt, sent2);
  EXPECT_LT(sent2, end);
  const std::string json = workFile("s.json");
  EXPECT_EQ(summaryValue(json, "expect"), "{\"steps\": 2, \"matched\": 2}") << json;
  EXPECT_EQ(summaryValue(json, "end_text"), "\"login:\"") << json;
}

// A step whose text never comes: the run ends by its time-out, with its own
// status, and the summary shows how far the dialogue got. With
// --expect-end, a silent device fails the run. The prompt the device left
// without a line feed is in the file all the same.
TEST_F(DialogueTest, AStepThatNeverMatches) {
  for (const bool expectEnd : {false, true}) {
    SCOPED_TRACE(expectEnd ? "with --expect-end" : "without --expect-end");
    std::filesystem::remove(work().file("out.spt"));
    PtyDevice device;
    std::vector<std::string> args = {"-ntx",      "1",      "-t",       "3",   "-f",     "out.spt",
                                     "--summary", "s.json", "--expect", "key", "--send", "\\r",
                                     "--expect",  "=> ",    "--send",   "x"};
    if (expectEnd) args.push_back("--expect-end");
    auto run = startOnLine(device, args);
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(device.send("Hit any key"));
    EXPECT_EQ(device.receive(1, seconds(20)), "\r");
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, expectEnd ? 5 : 0);
    EXPECT_EQ(workFile("out.spt"), "Hit any key");
    const std::string json = workFile("s.json");
    EXPECT_EQ(summaryValue(json, "end"), "\"time-out\"") << json;
    EXPECT_EQ(summaryValue(json, "expect"), "{\"steps\": 2, \"matched\": 1}") << json;
    EXPECT_EQ(summaryValue(json, "end_text"), "") << json;
    EXPECT_EQ(device.receiveUntilQuiet(milliseconds(200)), "") << "an answer went twice";
  }
}

using DialogueOptionsTest = SercapTest;

// Every malformed dialogue prints the usage text, and nothing is opened.
TEST_F(DialogueOptionsTest, MalformedPairsTextsAndEscapesGiveTheUsageText) {
  const std::string tooLong(4097, 'x');
  const std::vector<std::vector<std::string>> cases = {
      {"--send", "x"},
      {"--expect", "a"},
      {"--expect", "a", "--send", "b", "--send", "c"},
      {"--expect", "a", "--expect", "b", "--send", "c"},
      {"--send", "b", "--expect", "a"},
      {"--expect", "", "--send", "x"},
      {"--end-on", ""},
      {"--end-on", tooLong},
      {"--end-on", "\\q"},
      {"--end-on", "end\\"},
      {"--expect", "\\x4", "--send", "x"},
      {"--expect", "a", "--send", "\\xg0"},
      {"--end-on"},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1].substr(0, 8) : ""));
    auto run = start(args);
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, usageStatus());
    EXPECT_EQ(result.out.rfind("usage:", 0), 0u) << result.out;
    EXPECT_TRUE(std::filesystem::is_empty(work().path()));
  }
}

// The longest text, given as a value in the same argument.
TEST_F(DialogueOptionsTest, TextsUpToFourKibibytes) {
  PtyDevice device;
  const std::string text(4096, 't');
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt", "--end-on=" + text});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send(text));
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), text + "\r\n");
}

}  // namespace
