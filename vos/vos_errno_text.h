// Text of an error number, safe to call from any thread (strerror is not).
#pragma once

#include <cstring>

/// Holds the platform's text for an error number in its own buffer, for the life of the object:
///   VOS_ERROR("Can't open \"%s\" : %s", pc_name, vos_errno_text(errno).c_str());
class vos_errno_text {
 public:
  explicit vos_errno_text(int i_errno) noexcept
      : pc_text_(_pick(strerror_r(i_errno, ac_buf_, sizeof ac_buf_), ac_buf_)) {}
  const char* c_str() const noexcept { return pc_text_; }

 private:
  // strerror_r comes in two flavours (GNU returns the text, XSI fills the buffer).
  [[maybe_unused]] static const char* _pick(int i_rc, const char* pc_buf) noexcept {
    return i_rc == 0 ? pc_buf : "Unknown error";
  }
  [[maybe_unused]] static const char* _pick(const char* pc_text, const char*) noexcept {
    return pc_text;
  }

  char ac_buf_[128] = {};
  const char* pc_text_;
};
