#include "CPasswordSource.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "CCliError.h"
#include "zel/TCryptBuffer.h"

namespace fleck::cli {

namespace {

void wipe(std::string& text) {
  zel::secureWipe(text.data(), text.size());
  text.clear();
}

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

// The key is derived from the password's UTF-8 bytes up to the first NUL: a NUL would
// cut the password short, and a byte that is no UTF-8 would turn into U+FFFD, so that
// different passwords opened the same disk. Both are refused.
zel::String toPassword(std::string& text, const std::string& origin) {
  zel::String password = zel::String::fromUTF8(text);
  std::string again = password.toUTF8();
  const bool exact = again == text;
  wipe(again);
  const bool hasNul = text.find('\0') != std::string::npos;
  wipe(text);
  if (hasNul || !exact) {
    zel::secureWipe(password.data(), password.size() * sizeof(wchar_t));
    throw CCliError::failure(
        zel::String::fromUTF8("the password from " + origin + " " +
                              (hasNul ? "holds a NUL byte" : "is not valid UTF-8 text") +
                              "; a password must be UTF-8 text without NUL bytes"));
  }
  return password;
}

}  // namespace

CPasswordSource::~CPasswordSource() {
  zel::secureWipe(remembered.data(), remembered.size() * sizeof(wchar_t));
}

bool CPasswordSource::isGiven() const {
  if (!passwordFile.empty()) return true;
  const char* value = std::getenv(kEnvironmentVariable);
  return value != nullptr && value[0] != '\0';
}

std::string CPasswordSource::describeOrigin() const {
  if (!passwordFile.empty()) return "--password-file " + passwordFile;
  return kEnvironmentVariable;
}

zel::String CPasswordSource::given() const {
  std::string text;
  if (!passwordFile.empty()) {
    std::ifstream in(passwordFile, std::ios::binary);
    if (!in) {
      throw CCliError::failure(zel::String::fromUTF8("cannot read the password file " +
                                                     passwordFile + ": " + std::strerror(errno)));
    }
    std::getline(in, text);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
      throw CCliError::failure(zel::String::fromUTF8("the password file " + passwordFile +
                                                     " holds no password on its first line"));
    }
  } else {
    text = std::getenv(kEnvironmentVariable);
  }
  return toPassword(text, describeOrigin());
}

std::string CPasswordSource::ask(const std::string& question, const std::string& diskText) {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    throw CCliError::failure(zel::String::fromUTF8(
        diskText +
        ": a password is needed and there is no terminal to ask on; give it with "
        "--password-file FILE or the environment variable FLECK_PASSWORD"));
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

zel::String CPasswordSource::forDisk(const CFleckDiskHeader& header, const std::string& diskText) {
  if (isGiven()) return given();
  if (header.getCipherID() == L"null") return zel::String();
  if (haveRemembered) return remembered;
  std::string answer = ask("Password for " + diskText, diskText);
  remembered = toPassword(answer, "the prompt");
  haveRemembered = true;
  return remembered;
}

zel::String CPasswordSource::forNewDisk(const std::string& diskText) {
  if (isGiven()) return given();
  std::string first = ask("New password for " + diskText, diskText);
  if (first.empty()) {
    throw CCliError::failure(
        zel::String::fromUTF8(diskText + ": an empty password cannot encrypt a disk"));
  }
  std::string second = ask("Repeat the password", diskText);
  const bool same = first == second;
  wipe(second);
  if (!same) {
    wipe(first);
    throw CCliError::failure(zel::String::fromUTF8(diskText + ": the two passwords differ"));
  }
  remembered = toPassword(first, "the prompt");
  haveRemembered = true;
  return remembered;
}

}  // namespace fleck::cli
