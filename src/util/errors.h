#pragma once

#include <exception>
#include <stdexcept>
#include <string>

// Raised for a missing required parameter; main reports it as "Exiting : " + text.
class MyException : public std::exception {
 public:
  explicit MyException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The message with every control character but the final line end shown escaped (\r,
// \t, \xNN), so a value read from a broken file cannot split or overwrite the line.
std::string printable_message(const std::string& message);

// A fatal input or usage error whose text is the complete message for stderr.
// main prints it as it stands and exits with status 1.
class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
