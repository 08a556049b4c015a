// Message boxes of the window system for the whole program. A box asked for on
// another thread (a worker's message) is shown on the window thread while the
// asking thread waits for the answer; once the program closes it gets the safe
// answer (Cancel for a question) instead.
#pragma once
#include "platform/MessageBox.h"

class CWxMessageBox final : public platform::IMessageBox {
 public:
  int Show(const std::string& text, const std::string& caption, win::UINT type) override;
};
