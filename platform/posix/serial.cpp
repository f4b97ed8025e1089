#include "platform/serial.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/status.h"

namespace platform {

namespace {

constexpr uint32_t kCloseDrainMs = 1000;
constexpr uint32_t kPollSliceMs = 2;

int FromErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return kNotFound;
    case EIO:
      // A hung-up line: the far end (or the pseudo-terminal's master) is gone.
      return kClosed;
    case EINVAL:
      return kBadArgument;
    default:
      return kIoError;
  }
}

bool BaudConstant(uint32_t baud, speed_t* out) {
  struct Rate {
    uint32_t baud;
    speed_t code;
  };
  static constexpr Rate kRates[] = {
      {300, B300},     {600, B600},       {1200, B1200},     {2400, B2400},
      {4800, B4800},   {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600}, {115200, B115200}, {230400, B230400},
  };
  for (const Rate& r : kRates) {
    if (r.baud == baud) {
      *out = r.code;
      return true;
    }
  }
  return false;
}

bool SizeFlag(uint8_t dataBits, tcflag_t* out) {
  switch (dataBits) {
    case 5:
      *out = CS5;
      return true;
    case 6:
      *out = CS6;
      return true;
    case 7:
      *out = CS7;
      return true;
    case 8:
      *out = CS8;
      return true;
    default:
      return false;
  }
}

}  // namespace

SerialPort::~SerialPort() { Close(); }

int SerialPort::Open(const char* comName) {
  Close();
  lastOsError_ = 0;
  path_[0] = '\0';
  int found = SerialPortPath(comName, path_, sizeof path_);
  if (found != kOk) return found;

  // Non-blocking from the start: a port without carrier must not hang open().
  int fd = ::open(path_, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
  // Not shared: a second opener fails. An advisory lock rather than TIOCEXCL,
  // because the lock goes away with the process while TIOCEXCL would outlive a
  // crashed station on a line that someone else keeps open.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    lastOsError_ = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return kIoError;
  }
  // A line kept up by its far end between our runs still holds what came in
  // meanwhile (an answer nobody collected); a port opens with empty queues.
  tcflush(fd, TCIOFLUSH);
  handle_ = fd;
  return kOk;
}

int SerialPort::SetNonBlockingReads() {
  if (handle_ < 0) return kNotOpen;
  int fd = static_cast<int>(handle_);
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
  return kOk;
}

int SerialPort::Configure(const LineSettings& settings) {
  if (handle_ < 0) return kNotOpen;
  speed_t speed;
  tcflag_t size;
  if (!BaudConstant(settings.baudRate, &speed) || !SizeFlag(settings.dataBits, &size) ||
      (settings.stopBits != 1 && settings.stopBits != 2) || settings.parity > Parity::kEven) {
    return kBadArgument;
  }
  int fd = static_cast<int>(handle_);
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
  // A pseudo-terminal carries bytes, not framed characters: it keeps 8 data
  // bits and no parity whatever is asked (and the C library then reports the
  // request as refused), so framing is left alone there.
  char name[64];
  bool framed = !(ttyname_r(fd, name, sizeof name) == 0 && std::strncmp(name, "/dev/pts/", 9) == 0);
  // Binary mode: no line editing, echo, signals or character translation.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL;
  if (framed) {
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD);
    t.c_cflag |= size;
    if (settings.parity != Parity::kNone) t.c_cflag |= PARENB;
    if (settings.parity == Parity::kOdd) t.c_cflag |= PARODD;
    if (settings.parity != Parity::kNone && settings.checkParity) t.c_iflag |= INPCK;
  }
  if (settings.stopBits == 2) t.c_cflag |= CSTOPB;
  if (settings.rtsCtsHandshake) t.c_cflag |= CRTSCTS;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
  // tcsetattr succeeds when any part was applied; check that all of it was.
  termios applied{};
  if (tcgetattr(fd, &applied) != 0) {
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
  tcflag_t lineFlags = CSTOPB | CRTSCTS;
  if (framed) lineFlags |= CSIZE | PARENB | PARODD;
  if ((applied.c_cflag & lineFlags) != (t.c_cflag & lineFlags) || cfgetospeed(&applied) != speed) {
    lastOsError_ = EINVAL;
    return kBadArgument;
  }
  if (settings.dtrHandshake) {
    // Lines without modem control (pseudo-terminals) have no DTR to raise.
    int bits = TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &bits);
  }
  return kOk;
}

int SerialPort::Write(const void* data, size_t length, uint32_t timeoutMs, size_t* written) {
  if (written != nullptr) *written = 0;
  if (written == nullptr || (data == nullptr && length > 0)) return kBadArgument;
  if (handle_ < 0) return kNotOpen;
  int fd = static_cast<int>(handle_);
  const char* bytes = static_cast<const char*>(data);
  Deadline deadline(timeoutMs);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd, bytes + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      lastOsError_ = errno;
      *written = done;
      return FromErrno(lastOsError_);
    }
    // Output queue full (a held-off handshake line): wait, but not forever.
    if (deadline.Expired()) {
      *written = done;
      return kTimeout;
    }
    SleepMs(kPollSliceMs);
  }
  *written = done;
  return kOk;
}

int SerialPort::Read(void* buffer, size_t capacity, size_t* received) {
  if (received != nullptr) *received = 0;
  if (received == nullptr || (buffer == nullptr && capacity > 0)) return kBadArgument;
  if (handle_ < 0) return kNotOpen;
  if (capacity == 0) return kOk;
  for (;;) {
    ssize_t n = ::read(static_cast<int>(handle_), buffer, capacity);
    if (n >= 0) {
      *received = static_cast<size_t>(n);
      return kOk;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kOk;
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
}

int SerialPort::BytesWaiting(size_t* count) {
  if (count != nullptr) *count = 0;
  if (count == nullptr) return kBadArgument;
  if (handle_ < 0) return kNotOpen;
  int waiting = 0;
  if (ioctl(static_cast<int>(handle_), FIONREAD, &waiting) != 0) {
    lastOsError_ = errno;
    return FromErrno(lastOsError_);
  }
  *count = waiting > 0 ? static_cast<size_t>(waiting) : 0;
  return kOk;
}

void SerialPort::Close() {
  if (handle_ < 0) return;
  int fd = static_cast<int>(handle_);
  // close() on a serial line waits up to half a minute for output that a
  // held-off handshake keeps back; give it a bounded moment, then drop it.
  Deadline deadline(kCloseDrainMs);
  for (;;) {
    int pending = 0;
    if (ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0) break;
    if (deadline.Expired()) {
      tcflush(fd, TCOFLUSH);
      break;
    }
    SleepMs(kPollSliceMs);
  }
  ::close(fd);
  handle_ = -1;
}

}  // namespace platform
