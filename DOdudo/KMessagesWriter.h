#pragma once

#include <string>

#include "DOdudo/KFileLogWriter.h"

// The "messages" writer: messages.log in the log directory, the process-wide collection of every
// error, warning and info line of all loggers (each followed by " (<writer name>)"). Write only
// gathers the text; Flush appends it to the file and closes it, so several processes can share
// the file. It never gets date or opening banners; it rotates by size like any file writer.
// Callers hold GetMutex() from Write to Flush so one line never mixes with another.
class DODUDO_API KMessagesWriter : public KFileLogWriter {
 public:
  KMessagesWriter();
  ~KMessagesWriter() override;

  void CheckDay(unsigned int day) override;
  void Write(const char* format, va_list args) override;
  void WriteText(const char* text, size_t length) override;
  void Flush(bool lazy) override;
  void PrintLogOpened() override;

 private:
  std::string buffer_;
};
