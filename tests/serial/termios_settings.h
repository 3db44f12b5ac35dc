// The terminal settings the serial tests check and leave, read from a pseudo-terminal's master
// side (which shares them with the terminal). Used by the POSIX Pty and by pty_peer.
#pragma once

#include <termios.h>

#include "pty.h"

namespace pelkar::test {

inline LineSettings SettingsOf(const termios& t) {
  LineSettings s;
  switch (::cfgetospeed(&t)) {
    case B9600:
      s.baud = 9600;
      break;
    case B38400:
      s.baud = 38400;
      break;
    case B115200:
      s.baud = 115200;
      break;
    default:
      s.baud = 1;  // none of the rates the tests use
  }
  const tcflag_t size = t.c_cflag & CSIZE;
  s.data_bits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
  s.parity = (t.c_cflag & PARENB) != 0;
  s.two_stop_bits = (t.c_cflag & CSTOPB) != 0;
  s.xon_xoff = (t.c_iflag & (IXON | IXOFF)) != 0;
  s.raw = (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (t.c_oflag & OPOST) == 0 &&
          (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0;
  return s;
}

// 9600 baud, two stop bits and XON/XOFF both ways, as an earlier program might leave a port.
// A pseudo-terminal keeps neither parity nor fewer than 8 data bits.
inline void MakeForeign(termios& t) {
  t.c_iflag |= IXON | IXOFF;
  t.c_cflag |= CSTOPB;
  ::cfsetospeed(&t, B9600);
  ::cfsetispeed(&t, B9600);
}

}  // namespace pelkar::test
