// A real child for the command-runner tests: does what its arguments say, in order.
//
//   --print TEXT        write TEXT as it stands (no line feed added)
//   --print-hex HEX     write the bytes spelled in hex (NUL and invalid UTF-8 allowed)
//   --print-bytes N     write N bytes of 'a' + i % 26
//   --print-env         write each environment variable on its own line
//   --print-args        write each argv element, argv[0] included, on its own line
//   --list-fds          write each open descriptor number on its own line
//   --sigmask           write the SigBlk and SigIgn lines of /proc/self/status
//   --sleep-ms N        sleep N milliseconds
//   --close-output      close every descriptor but 0 and 2, leaked ones too
//   --kill-self SIG     send SIG to itself
//   --exit CODE         exit with CODE at once
//
// Each option writes its text with one write(2) where it can, so that a short
// text reaches the reading end of a pipe in one piece. Exit code 0 at the end,
// 125 for an unknown option, 126 for an option missing its value.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

extern char** environ;

namespace {

void emit(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t count = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (count <= 0) _exit(120);
    done += static_cast<size_t>(count);
  }
}

std::string fromHex(const char* hex) {
  std::string bytes;
  for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2)
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  return bytes;
}

std::string openDescriptors() {
  std::string text;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) _exit(121);
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir)) continue;
    text += std::string(entry->d_name) + "\n";
  }
  closedir(dir);
  return text;
}

std::string signalLines() {
  std::ifstream status("/proc/self/status");
  std::string line, text;
  while (std::getline(status, line))
    if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) text += line + "\n";
  return text;
}

void sleepMs(long ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

// Carries out one option; next() hands out the option's value. False when
// the option is unknown.
template <typename Next>
bool perform(const std::string& option, Next next) {
  if (option == "--print") {
    emit(next());
  } else if (option == "--print-hex") {
    emit(fromHex(next()));
  } else if (option == "--print-bytes") {
    std::string bytes(std::strtoul(next(), nullptr, 10), '\0');
    for (size_t n = 0; n < bytes.size(); ++n) bytes[n] = static_cast<char>('a' + n % 26);
    emit(bytes);
  } else if (option == "--print-env") {
    std::string text;
    for (char** variable = environ; *variable != nullptr; ++variable)
      text += std::string(*variable) + "\n";
    emit(text);
  } else if (option == "--list-fds") {
    emit(openDescriptors());
  } else if (option == "--sigmask") {
    emit(signalLines());
  } else if (option == "--sleep-ms") {
    sleepMs(std::atol(next()));
  } else if (option == "--close-output") {
    close_range(1, 1, 0);
    close_range(3, ~0u, 0);
  } else if (option == "--kill-self") {
    kill(getpid(), std::atoi(next()));
  } else if (option == "--exit") {
    _exit(std::atoi(next()));
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) _exit(126);
      return argv[++i];
    };
    if (std::string(argv[i]) == "--print-args") {
      std::string text;
      for (int n = 0; n < argc; ++n) text += std::string(argv[n]) + "\n";
      emit(text);
    } else if (!perform(argv[i], next)) {
      return 125;
    }
  }
  return 0;
}
