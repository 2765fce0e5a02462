// The auto-hiding control bar at the top of the first session window: three
// pixels show until the pointer enters it, then it slides down; pinned, it
// stays. Its buttons pin it, switch full screen and end the session.
#pragma once

#include <QWidget>

class QPushButton;
class QtRdpWindow;

class QtHotSpotWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kHeight = 30;
  static constexpr int kVisiblePixels = 3;
  static constexpr int kHiddenY = kVisiblePixels - kHeight;

  QtHotSpotWindow(QtRdpWindow* sessionWindow, Qt::WindowFlags flags);

  // Mode 0: centred at the top, down when pinned, else hidden but its
  // visible pixels; then shown.
  void Place(int mode);
  void UpdateMaximizeText();

  bool IsPinned() const { return pinned_; }
  bool IsDown() const { return shown_; }
  QPushButton* PinButton() const { return pinButton_; }
  QPushButton* OptimizeButton() const { return optimizeButton_; }
  QPushButton* ExitButton() const { return exitButton_; }

 public slots:
  void on_buttonPin_switch();
  void on_buttonOptimize_click();
  void on_buttonExit_close();

 protected:
  void enterEvent(QEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QPushButton* AddButton(const char* icon, const QString& text);
  int CentredX() const;
  // One pixel at a time, painted at each step.
  void SlideTo(int y);

  Qt::WindowFlags pinFlags_;
  bool pinned_ = false;
  bool shown_ = false;
  bool moving_ = false;
  int offset_ = kHiddenY;
  QPushButton* pinButton_ = nullptr;
  QPushButton* optimizeButton_ = nullptr;
  QPushButton* exitButton_ = nullptr;
  QtRdpWindow* window_;
};
