// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_UTIL_ERROR_MSG_H_
#define HEXPOKE_UTIL_ERROR_MSG_H_

#include <string>

namespace Util {

// The program's own exception, for broken internal contracts (a hex text that
// is not two characters long). Deliberately not a std::exception, so that the
// error frame in the driver reports it apart from library and I/O failures.
//
// Created with new and thrown by pointer; whoever catches the pointer owns
// the object and must delete it.
class ErrorMsg {
 public:
  explicit ErrorMsg(std::string message) : message_(std::move(message)) {}
  ErrorMsg(const ErrorMsg&) = delete;
  ErrorMsg& operator=(const ErrorMsg&) = delete;
  virtual ~ErrorMsg() = default;

  virtual const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

}  // namespace Util

#endif  // HEXPOKE_UTIL_ERROR_MSG_H_
