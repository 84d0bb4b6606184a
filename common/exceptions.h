// The four exception types through which the shared library reports failures.
#pragma once

#include <exception>
#include <string>

// Each carries one message; callers log what() and decide what to do next.
#define KOVA_DECLARE_EXCEPTION(Name)                                        \
  class Name : public std::exception {                                      \
   public:                                                                  \
    explicit Name(std::string message) : message_(std::move(message)) {}    \
    ~Name() override = default;                                             \
    const char* what() const noexcept override { return message_.c_str(); } \
                                                                            \
   private:                                                                 \
    std::string message_;                                                   \
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

// What a plugin that printed nothing leaves in `output` and in the log.
inline constexpr const char kSilentPluginText[] =
    "DAEMON: the plugin does not return anything on the stdout";

// The command ran and ended normally but printed nothing (or only "''").
class silentPluginException : public serviceException {
 public:
  silentPluginException() : serviceException(kSilentPluginText) {}
};

// A system call of the run failed (pipe, process, read, wait): the command
// did not run, or what it did is unknown. Its text is the failure.
class runFailedException : public serviceException {
 public:
  using serviceException::serviceException;
};

// The statement failed because the connection to the server is gone (or
// could not be made again), not because the server refused it: the same
// statement may succeed once the server is back.
class PostgresqlConnectionException : public PostgresqlException {
 public:
  using PostgresqlException::PostgresqlException;
};
