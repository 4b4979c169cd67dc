// WriteLogRecord into a real file: exact record text, UTF-8, unsigned 32-bit values, and
// the 320-character bound (a record of 319 characters is written, one of 320 is dropped
// whole, never cut).
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log.h"
#include "scoped_handle.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    ++g_failures;
    printf("FAIL %s\n", what);
  }
}

std::string ReadAll(const std::wstring& path) {
  const win::ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string data;
  char chunk[4096];
  DWORD got = 0;
  while (file.IsValid() && ::ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    data.append(chunk, got);
  }
  return data;
}

std::vector<std::string> Lines(const std::string& data) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(data.substr(start, end - start));
  }
  if (start != data.size()) lines.push_back("<unterminated>" + data.substr(start));
  return lines;
}

// "[YYYY-MM-DDTHH:MM:SS] launcher pid=" with two-digit fields and the given pid.
bool HasRecordPrefix(const std::string& line, const std::string& pid) {
  if (line.size() < 21) return false;
  const char* shape = "[dddd-dd-ddTdd:dd:dd]";
  for (int i = 0; i < 21; ++i) {
    if (shape[i] == 'd' ? (line[i] < '0' || line[i] > '9') : line[i] != shape[i]) return false;
  }
  const std::string rest = " launcher pid=" + pid + " ";
  return line.compare(21, rest.size(), rest) == 0;
}

// What follows the prefix: "key=value".
std::string Event(const std::string& line, const std::string& pid) {
  return line.substr(std::min(line.size(), 21 + 15 + pid.size()));
}

}  // namespace

int main() {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring directory =
      std::wstring(temp) + L"kestovar-log-record-" + std::to_wstring(::GetCurrentProcessId());
  Check(::CreateDirectoryW(directory.c_str(), nullptr) != 0, "temp directory created");

  win::ScopedHandle owned_log(OpenLog(directory));
  Check(owned_log.IsValid(), "OpenLog opens bridge.log");
  const HANDLE log = owned_log.Get();

  const std::string pid = std::to_string(::GetCurrentProcessId());
  // 21 time + 14 " launcher pid=" + pid + " " + key + "=" + "0" + CR LF = 319 characters.
  const size_t key_for_319 = 319 - (21 + 14 + pid.size() + 1 + 1 + 1 + 2);
  const std::wstring key_319(key_for_319, L'k');
  const std::wstring key_320(key_for_319 + 1, L'x');

  WriteLogRecord(log, L"starting", 0);
  WriteLogRecord(log, L"child", 4294967295u);
  WriteLogRecord(log, L"schl\x00fcssel_\x20ac", 7);
  WriteLogRecord(log, key_320.c_str(), 0);
  WriteLogRecord(log, key_319.c_str(), 0);
  WriteLogRecord(INVALID_HANDLE_VALUE, L"never", 1);  // both spellings of no handle: no-ops
  WriteLogRecord(nullptr, L"never", 1);
  owned_log.Close();

  const std::string data = ReadAll(directory + L"\\bridge.log");
  const std::vector<std::string> lines = Lines(data);
  Check(lines.size() == 4, "four records written, the 320-character one dropped whole");
  Check(data.find('x') == std::string::npos, "no part of the overlong record in the file");
  Check(data.find('\0') == std::string::npos, "no terminating zero written");
  Check(data.compare(0, 3, "\xef\xbb\xbf") != 0, "no byte-order mark");
  if (lines.size() == 4) {
    for (const std::string& line : lines) Check(HasRecordPrefix(line, pid), "record prefix");
    Check(Event(lines[0], pid) == "starting=0", "starting=0");
    Check(Event(lines[1], pid) == "child=4294967295",
          "value 4294967295 printed unsigned");
    Check(Event(lines[2], pid) == "schl\xc3\xbcssel_\xe2\x82\xac=7",
          "key in UTF-8");
    Check(lines[3].size() + 2 == 319, "record of 319 characters written whole");
    Check(Event(lines[3], pid) ==
              std::string(key_for_319, 'k') + "=0",
          "319-character record text");
  }
  printf("log_record: %zu records read, %d failures\n", lines.size(), g_failures);
  for (const std::string& line : lines) printf("  %s\n", line.c_str());

  ::DeleteFileW((directory + L"\\bridge.log").c_str());
  ::RemoveDirectoryW(directory.c_str());
  return g_failures == 0 ? 0 : 1;
}
