// The report the simulated device prints: its text form with escapes, and the
// built-in sample used when no report is given.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Bytes to print, then a pause before the next step.
struct ReportStep {
  std::string bytes;
  std::chrono::milliseconds pause{0};

  bool operator==(const ReportStep&) const = default;
};

using Report = std::vector<ReportStep>;

// Interprets the escapes \n \r \t \\ \xHH and the pause \p<ms>; in report text.
// On a bad escape returns nothing and sets *error to a message that names the
// line and column of the backslash.
std::optional<Report> parseReportText(std::string_view text, std::string* error);

// The whole text as one step, byte for byte.
Report literalReport(std::string bytes);

// What the device prints when no report is given: boot chatter outside the
// '^' markers, results inside them, a flush request and the end phrase.
Report sampleReport();

// Total bytes in one play of the report.
size_t reportSize(const Report& report);
