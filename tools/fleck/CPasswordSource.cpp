#include "CPasswordSource.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "CCliError.h"
#include "fleck/ops/COperationError.h"
#include "zel/TCryptBuffer.h"

namespace fleck::cli {

namespace {

// Restores the terminal's echo when the prompt ends, however it ends.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd(fd) {
    if (::tcgetattr(fd, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      active = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
  }
  ~EchoOff() {
    if (active) ::tcsetattr(fd, TCSAFLUSH, &saved);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd;
  termios saved{};
  bool active = false;
};

}  // namespace

CPasswordSource::~CPasswordSource() {
  zel::secureWipe(remembered.data(), remembered.size() * sizeof(wchar_t));
}

std::string CPasswordSource::ask(const std::string& question, const std::string& diskText) const {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    throw CCliError::failure(zel::String::fromUTF8(
        diskText + ": a password is needed and there is no terminal to ask on; give it with " +
        givenPassword.getFileOption() + " FILE or the environment variable " +
        givenPassword.getEnvironmentVariable()));
  }
  std::string answer;
  {
    EchoOff echoOff(fd);
    const std::string prompt = question + ": ";
    if (::write(fd, prompt.data(), prompt.size()) < 0) {
      // The answer can still be read; the prompt is only a courtesy.
    }
    char c;
    while (true) {
      const ssize_t got = ::read(fd, &c, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || c == '\n') break;
      answer += c;
    }
    if (::write(fd, "\n", 1) < 0) {
      // Only the line end after the hidden answer; nothing to recover.
    }
  }
  ::close(fd);
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return answer;
}

zel::String CPasswordSource::forDisk(const CFleckDiskHeader& header, const zel::CURI& folder) {
  if (isGiven()) return givenPassword.given();
  const std::string diskText = ops::COperationError::show(folder);
  if (header.getCipherID() == L"null") return zel::String();
  if (haveRemembered) return remembered;
  std::string answer = ask("Password for " + diskText, diskText);
  remembered = ops::CGivenPassword::toPassword(answer, "the prompt");
  haveRemembered = true;
  return remembered;
}

zel::String CPasswordSource::forNewDisk(const std::string& diskText) {
  if (isGiven()) return givenPassword.given();
  std::string first = ask("New password for " + diskText, diskText);
  if (first.empty()) {
    throw CCliError::failure(
        zel::String::fromUTF8(diskText + ": an empty password cannot encrypt a disk"));
  }
  std::string second = ask("Repeat the password", diskText);
  const bool same = first == second;
  ops::CGivenPassword::wipe(second);
  if (!same) {
    ops::CGivenPassword::wipe(first);
    throw CCliError::failure(zel::String::fromUTF8(diskText + ": the two passwords differ"));
  }
  remembered = ops::CGivenPassword::toPassword(first, "the prompt");
  haveRemembered = true;
  return remembered;
}

}  // namespace fleck::cli
