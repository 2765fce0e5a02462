#include "ui/StyleSheetBlock.h"

#include <QApplication>

namespace {

// A selector that is only the beginning of a longer one
// ("...:general" in "...:generalHover") does not count.
bool EndsSelector(const QString& sheet, int end) {
  if (end >= sheet.size()) return true;
  const QChar next = sheet[end];
  return !(next.isLetterOrNumber() || next == '_' || next == '-');
}

}  // namespace

QString StyleSheetBlock(const QString& selector) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app || selector.isEmpty()) return QString();
  const QString sheet = app->styleSheet();
  for (int at = sheet.indexOf(selector); at >= 0; at = sheet.indexOf(selector, at + 1)) {
    if (!EndsSelector(sheet, at + selector.size())) continue;
    const int open = sheet.indexOf('{', at + selector.size());
    if (open < 0) return QString();
    const int close = sheet.indexOf('}', open + 1);
    if (close < 0) return QString();
    return sheet.mid(open + 1, close - open - 1);
  }
  return QString();
}
