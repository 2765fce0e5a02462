// Everything that shows values the user may change and that are checked
// and written back as one: the option pages, the options window, the home
// page and the password dialog.
#pragma once

#include <QStringList>

class QtValidableItem {
 public:
  // Throws CValidationError when the values shown cannot be accepted;
  // never changes the settings.
  virtual void Validate() = 0;
  // Writes the values shown into the settings; only after Validate passed.
  virtual void Apply() = 0;
  // What the item shows, in a fixed order; flags as "0" or "1".
  virtual QStringList GetValues() = 0;
  virtual ~QtValidableItem();

  // The joined texts are compared, so a value that holds the separator
  // cannot be told from two values.
  bool IsChanged();
  void TakeSnapshot();

 protected:
  QStringList snapshot;
};
