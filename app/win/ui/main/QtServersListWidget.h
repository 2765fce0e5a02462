// The list of discovered servers and server groups, with a spinner over it
// while a search runs.
#pragma once

#include <QListWidget>

class QtCircleLoadingBar;

class QtServersListWidget : public QListWidget {
  Q_OBJECT

 public:
  explicit QtServersListWidget(QWidget* parent = nullptr);

  void StartProgress(int steps);
  void StepProgress(int position);
  void FinishProgress();
  bool IsSearching() const { return !idle; }
  QtCircleLoadingBar* Spinner() const { return spinner; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QtCircleLoadingBar* spinner;
  bool idle = true;
};
