// The four exception types through which the shared library reports failures.
#pragma once

#include <exception>
#include <string>

// Each carries one message; callers log what() and decide what to do next.
#define KOVA_DECLARE_EXCEPTION(Name)                                   \
  class Name : public std::exception {                                 \
   public:                                                             \
    explicit Name(std::string message) : message_(std::move(message)) {} \
    ~Name() override = default;                                        \
    const char* what() const noexcept override { return message_.c_str(); } \
                                                                       \
   private:                                                            \
    std::string message_;                                              \
  }

// The configuration file cannot be opened.
KOVA_DECLARE_EXCEPTION(FileException);
// Any database failure (connection, prepare, execute).
KOVA_DECLARE_EXCEPTION(PostgresqlException);
// Any failure of a command run by service::execute.
KOVA_DECLARE_EXCEPTION(serviceException);
// A queue was read while empty ("queue is empty").
KOVA_DECLARE_EXCEPTION(EmptyQueueException);

#undef KOVA_DECLARE_EXCEPTION
