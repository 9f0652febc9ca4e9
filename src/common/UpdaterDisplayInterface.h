// The abstract display every user-visible text goes through: leveled
// messages, a progress bar and a spinner.
#pragma once

class UpdaterDisplayInterface {
 public:
  enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  virtual ~UpdaterDisplayInterface() = default;

  virtual void display_progress(bool start) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool active, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // printf-style; the text is cut at 2047 characters. Does nothing while muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void mute_messages(bool mute) { muted = mute; }

  bool muted = false;
};
