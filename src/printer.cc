#include "printer.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <iostream>

#include "pelko.h"

Printer printer;

Printer::Printer()
    : m_to_file(false),
      m_console(&std::cout),
      m_console_errno(0),
      m_console_terminal(os_stdout_is_terminal()) {}

Printer::~Printer() {
  if (m_fstream.is_open()) m_fstream.close();
}

void Printer::open(const std::string& file_path) {
  PELKO_ASSERT(!m_fstream.is_open());
  m_fstream.open(file_path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!m_fstream.is_open()) {
    int err = errno;
    std::cerr << "ERROR: open(" << file_path << ") failed, " << strerror(err)
              << std::endl;
    exit(1);
  }
  m_to_file = true;
}

void Printer::set_to_file(bool b) {
  if (!b) {
    m_to_file = false;
  } else if (m_fstream.is_open()) {
    m_to_file = true;
  }
}

int Printer::close_file() {
  m_to_file = false;
  if (!m_fstream.is_open()) return 0;
  errno = 0;
  m_fstream.close();
  if (!m_fstream.fail()) return 0;
  return errno != 0 ? errno : EIO;
}

void Printer::close_for_test() {
  if (m_fstream.is_open()) m_fstream.close();
  m_fstream.clear();
  m_to_file = false;
}
