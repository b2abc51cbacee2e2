// The setup window made of one toolkit's controls: the form on that toolkit, with what the program
// entry asks of it passed through. Each backend adds how the window is shown.
#pragma once

#include "ui/setup_form.h"
#include "ui/setup_window.h"
#include "ui/window_thread.h"

template <class ToolkitType>
class ToolkitSetupWindow : public SetupWindow {
 public:
  // The calling thread becomes the window thread before the toolkit and the form are made on it.
  explicit ToolkitSetupWindow(WindowThread& windowThread)
      : toolkit_((windowThread.Attach(), windowThread)), form_(toolkit_, windowThread) {}

  HWND Handle() override { return form_.Handle(); }
  int PageControlLeft() const override { return form_.MainPageControl->Left(); }
  int PageControlTop() const override { return form_.MainPageControl->Top(); }
  int PageControlWidth() const override { return form_.MainPageControl->Width(); }
  int PageControlHeight() const override { return form_.MainPageControl->Height(); }
  void SetClientHeight(int height) override { form_.SetClientHeight(height); }
  void SetClientWidth(int width) override { form_.SetClientWidth(width); }

 protected:
  ToolkitType toolkit_;
  TSetupForm1 form_;
};
