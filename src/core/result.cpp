// Failure texts: each derived from the failure's code, in one place.
#include "result.hpp"

#include <array>
#include <cstring>

namespace vorn {

namespace {

constexpr const char* kUnknownErrno = "Unknown errno";
constexpr const char* kLockHeldText = "Unable to acquire exclusive lock on serial port";
constexpr const char* kSettingsMismatchText = "Settings did not apply correctly";

// Indexed by errno; the comments of asm-generic/errno-base.h and errno.h.
// 41 and 58 are unassigned (EWOULDBLOCK and EDEADLOCK only alias 11 and 35).
constexpr std::array<const char*, 134> kKernelErrorTexts = {
    /*   0 */ nullptr,
    /*   1 */ "Operation not permitted",
    /*   2 */ "No such file or directory",
    /*   3 */ "No such process",
    /*   4 */ "Interrupted system call",
    /*   5 */ "I/O error",
    /*   6 */ "No such device or address",
    /*   7 */ "Argument list too long",
    /*   8 */ "Exec format error",
    /*   9 */ "Bad file number",
    /*  10 */ "No child processes",
    /*  11 */ "Try again",
    /*  12 */ "Out of memory",
    /*  13 */ "Permission denied",
    /*  14 */ "Bad address",
    /*  15 */ "Block device required",
    /*  16 */ "Device or resource busy",
    /*  17 */ "File exists",
    /*  18 */ "Cross-device link",
    /*  19 */ "No such device",
    /*  20 */ "Not a directory",
    /*  21 */ "Is a directory",
    /*  22 */ "Invalid argument",
    /*  23 */ "File table overflow",
    /*  24 */ "Too many open files",
    /*  25 */ "Not a typewriter",
    /*  26 */ "Text file busy",
    /*  27 */ "File too large",
    /*  28 */ "No space left on device",
    /*  29 */ "Illegal seek",
    /*  30 */ "Read-only file system",
    /*  31 */ "Too many links",
    /*  32 */ "Broken pipe",
    /*  33 */ "Math argument out of domain of func",
    /*  34 */ "Math result not representable",
    /*  35 */ "Resource deadlock would occur",
    /*  36 */ "File name too long",
    /*  37 */ "No record locks available",
    /*  38 */ "Invalid system call number",
    /*  39 */ "Directory not empty",
    /*  40 */ "Too many symbolic links encountered",
    /*  41 */ nullptr,
    /*  42 */ "No message of desired type",
    /*  43 */ "Identifier removed",
    /*  44 */ "Channel number out of range",
    /*  45 */ "Level 2 not synchronized",
    /*  46 */ "Level 3 halted",
    /*  47 */ "Level 3 reset",
    /*  48 */ "Link number out of range",
    /*  49 */ "Protocol driver not attached",
    /*  50 */ "No CSI structure available",
    /*  51 */ "Level 2 halted",
    /*  52 */ "Invalid exchange",
    /*  53 */ "Invalid request descriptor",
    /*  54 */ "Exchange full",
    /*  55 */ "No anode",
    /*  56 */ "Invalid request code",
    /*  57 */ "Invalid slot",
    /*  58 */ nullptr,
    /*  59 */ "Bad font file format",
    /*  60 */ "Device not a stream",
    /*  61 */ "No data available",
    /*  62 */ "Timer expired",
    /*  63 */ "Out of streams resources",
    /*  64 */ "Machine is not on the network",
    /*  65 */ "Package not installed",
    /*  66 */ "Object is remote",
    /*  67 */ "Link has been severed",
    /*  68 */ "Advertise error",
    /*  69 */ "Srmount error",
    /*  70 */ "Communication error on send",
    /*  71 */ "Protocol error",
    /*  72 */ "Multihop attempted",
    /*  73 */ "RFS specific error",
    /*  74 */ "Not a data message",
    /*  75 */ "Value too large for defined data type",
    /*  76 */ "Name not unique on network",
    /*  77 */ "File descriptor in bad state",
    /*  78 */ "Remote address changed",
    /*  79 */ "Can not access a needed shared library",
    /*  80 */ "Accessing a corrupted shared library",
    /*  81 */ ".lib section in a.out corrupted",
    /*  82 */ "Attempting to link in too many shared libraries",
    /*  83 */ "Cannot exec a shared library directly",
    /*  84 */ "Illegal byte sequence",
    /*  85 */ "Interrupted system call should be restarted",
    /*  86 */ "Streams pipe error",
    /*  87 */ "Too many users",
    /*  88 */ "Socket operation on non-socket",
    /*  89 */ "Destination address required",
    /*  90 */ "Message too long",
    /*  91 */ "Protocol wrong type for socket",
    /*  92 */ "Protocol not available",
    /*  93 */ "Protocol not supported",
    /*  94 */ "Socket type not supported",
    /*  95 */ "Operation not supported on transport endpoint",
    /*  96 */ "Protocol family not supported",
    /*  97 */ "Address family not supported by protocol",
    /*  98 */ "Address already in use",
    /*  99 */ "Cannot assign requested address",
    /* 100 */ "Network is down",
    /* 101 */ "Network is unreachable",
    /* 102 */ "Network dropped connection because of reset",
    /* 103 */ "Software caused connection abort",
    /* 104 */ "Connection reset by peer",
    /* 105 */ "No buffer space available",
    /* 106 */ "Transport endpoint is already connected",
    /* 107 */ "Transport endpoint is not connected",
    /* 108 */ "Cannot send after transport endpoint shutdown",
    /* 109 */ "Too many references: cannot splice",
    /* 110 */ "Connection timed out",
    /* 111 */ "Connection refused",
    /* 112 */ "Host is down",
    /* 113 */ "No route to host",
    /* 114 */ "Operation already in progress",
    /* 115 */ "Operation now in progress",
    /* 116 */ "Stale file handle",
    /* 117 */ "Structure needs cleaning",
    /* 118 */ "Not a XENIX named type file",
    /* 119 */ "No XENIX semaphores available",
    /* 120 */ "Is a named type file",
    /* 121 */ "Remote I/O error",
    /* 122 */ "Quota exceeded",
    /* 123 */ "No medium found",
    /* 124 */ "Wrong medium type",
    /* 125 */ "Operation Canceled",
    /* 126 */ "Required key not available",
    /* 127 */ "Key has expired",
    /* 128 */ "Key has been revoked",
    /* 129 */ "Key was rejected by service",
    /* 130 */ "Owner died",
    /* 131 */ "State not recoverable",
    /* 132 */ "Operation not possible due to RF-kill",
    /* 133 */ "Memory page has hardware error",
};

}  // namespace

std::string os_error_text(int code) {
  char scratch[256];
  // GNU strerror_r returns the text, which may or may not live in `scratch`.
  const char* text = strerror_r(code, scratch, sizeof scratch);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

const char* kernel_error_text(int code) {
  if (code < 0 || static_cast<std::size_t>(code) >= kKernelErrorTexts.size()) return kUnknownErrno;
  const char* text = kKernelErrorTexts[static_cast<std::size_t>(code)];
  return text != nullptr ? text : kUnknownErrno;
}

Failure Failure::system(int err) { return {Kind::Os, Errc::System, err, os_error_text(err)}; }

Failure Failure::serial(int err) { return {Kind::Os, Errc::Serial, err, kernel_error_text(err)}; }

Failure Failure::out_of_resource(std::string_view what, int err) {
  return {Kind::Os, Errc::OutOfResource, err, std::string(what) + ": " + os_error_text(err)};
}

Failure Failure::of(Errc code) {
  const char* text = "";
  switch (code) {
    case Errc::ReadTimedOut:
      text = kReadTimedOutText;
      break;
    case Errc::LockHeld:
      text = kLockHeldText;
      break;
    case Errc::SettingsMismatch:
      text = kSettingsMismatchText;
      break;
    case Errc::ChannelTimedOut:
      text = kTimedOutText.data();
      break;
    case Errc::Stopped:
      text = "stopped";
      break;
    case Errc::Other:
    case Errc::System:
    case Errc::Serial:
    case Errc::OutOfResource:
      break;  // these carry their own text or errno
  }
  return {Kind::Os, code, 0, text};
}

}  // namespace vorn
