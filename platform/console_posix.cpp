// The console on POSIX systems is the controlling terminal, /dev/tty: like
// the Windows console input it is there even when standard input is
// redirected, and absent when the process has no terminal at all.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/console.h"

namespace vexlo {

namespace {

int g_tty = -1;
struct termios g_saved;

// A signal that ends the process while the terminal is in raw mode must not
// leave the user's shell without echo.
void restore_and_reraise(int sig) {
  if (g_tty >= 0) ::tcsetattr(g_tty, TCSANOW, &g_saved);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// True when another byte arrives within `ms` milliseconds.
bool byte_follows(int fd, int ms) {
  struct pollfd p = {fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, ms);
  } while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & POLLIN);
}

bool read_byte(int fd, unsigned char* c) {
  ssize_t n;
  do {
    n = ::read(fd, c, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

}  // namespace

int wait_key() {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct termios saved;
  if (::tcgetattr(fd, &saved) != 0) {
    ::close(fd);
    return -1;
  }
  struct termios raw = saved;
  // No echo, no line input, no signal keys (Ctrl+C reads as 3), no flow
  // control keys, Enter as carriage return (13) as on other consoles.
  raw.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON | ISIG | IEXTEN));
  raw.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL | INLCR | IGNCR));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  g_tty = fd;
  g_saved = saved;
  const int sigs[] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};
  void (*old[4])(int);
  for (int i = 0; i < 4; ++i)
    old[i] = std::signal(sigs[i], restore_and_reraise);

  int result = -1;
  if (::tcsetattr(fd, TCSANOW, &raw) == 0) {
    unsigned char c;
    if (read_byte(fd, &c)) {
      result = c;
      // ESC alone is Escape; ESC followed at once by more bytes is a key
      // that sends a sequence. Consume the whole sequence so that none of it
      // reaches the shell afterwards.
      if (c == 27 && byte_follows(fd, 50)) {
        result = 224;
        while (byte_follows(fd, 30) && read_byte(fd, &c)) {
        }
      }
    }
    // TCSAFLUSH also drops anything else typed, such as the rest of a
    // multi-byte character.
    ::tcsetattr(fd, TCSAFLUSH, &saved);
  }
  for (int i = 0; i < 4; ++i) std::signal(sigs[i], old[i]);
  g_tty = -1;
  ::close(fd);
  return result;
}

}  // namespace vexlo
