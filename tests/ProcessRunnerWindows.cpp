// SPDX-License-Identifier: MIT
// RunProcess for Windows: CreateProcessW, with the child's standard output
// and error going to files of the test's own.

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                      wide.data(), size);
  return wide;
}

// `argument` quoted so that the C run-time's split of the command line
// gives it back unchanged.
void AppendQuoted(const std::wstring& argument, std::wstring& command_line) {
  if (!command_line.empty()) command_line += L' ';
  if (!argument.empty() &&
      argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    command_line += argument;
    return;
  }
  command_line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled; the quote is escaped.
    if (c == L'"') backslashes = backslashes * 2 + 1;
    command_line.append(backslashes, L'\\');
    backslashes = 0;
    command_line += c;
  }
  command_line.append(backslashes * 2, L'\\');  // before the closing quote
  command_line += L'"';
}

// A file for the child's output, that goes when the test closes it.
HANDLE CaptureFile() {
  wchar_t dir[MAX_PATH + 1];
  wchar_t path[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, dir) == 0 ||
      GetTempFileNameW(dir, L"hxp", 0, path) == 0) {
    throw std::runtime_error("no temporary file for the child's output");
  }
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  const HANDLE file = CreateFileW(
      path, GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
      CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
      nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("cannot open a file for the child's output");
  }
  return file;
}

// Reads through the handle the child wrote to, and closes it.
std::string ReadAndClose(HANDLE file) {
  std::string text;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    text.append(buffer, count);
  }
  CloseHandle(file);
  return text;
}

// A child that has been started, and the files its output goes to.
struct Started {
  PROCESS_INFORMATION process = {};
  HANDLE out = nullptr;
  HANDLE err = nullptr;
  bool started = false;
};

Started Start(const std::vector<std::string>& args,
              const ProcessOptions& options) {
  if (options.file_size_limit != 0 || options.drop_root ||
      options.stdout_appends || !options.stdout_before.empty() ||
      options.refuse_tmpfile || options.hold_at >= 0 ||
      !options.ignored_signals.empty() || options.alarm_seconds != 0) {
    throw std::logic_error("a POSIX-only process option on Windows");
  }
  std::wstring command_line;
  for (const std::string& arg : args) AppendQuoted(Wide(arg), command_line);
  Started child;
  child.out = CaptureFile();
  child.err = CaptureFile();
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  const HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ,
                                &inherited, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = child.out;
  startup.hStdError = child.err;
  const std::wstring dir = Wide(options.working_directory);
  // No console: CON then names none, from a terminal as in CI.
  child.started = CreateProcessW(
      Wide(args.at(0)).c_str(), command_line.data(), nullptr, nullptr, TRUE,
      DETACHED_PROCESS, nullptr, dir.empty() ? nullptr : dir.c_str(), &startup,
      &child.process) != FALSE;
  CloseHandle(in);
  return child;
}

ProcessResult Wait(Started& child) {
  ProcessResult result;
  if (child.started) {
    WaitForSingleObject(child.process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.process.hProcess, &code);
    result.exit_code = static_cast<int>(code);
    CloseHandle(child.process.hThread);
    CloseHandle(child.process.hProcess);
  }
  result.out = ReadAndClose(child.out);
  result.err = ReadAndClose(child.err);
  if (!child.started) throw std::runtime_error("CreateProcessW failed");
  return result;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  Started child = Start(args, options);
  return Wait(child);
}

std::vector<ProcessResult> RunAtOnce(
    const std::vector<std::vector<std::string>>& commands,
    const ProcessOptions& options) {
  std::vector<Started> started;
  started.reserve(commands.size());
  for (const auto& args : commands) started.push_back(Start(args, options));
  std::vector<ProcessResult> results;
  results.reserve(commands.size());
  for (Started& child : started) results.push_back(Wait(child));
  return results;
}
