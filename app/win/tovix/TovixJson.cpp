#include "tovix/TovixJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSet>
#include <QString>
#include <vector>

namespace tovix {

namespace {

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A quoted string token as Qt decodes it: wrapped in an array, which holds
// no object and so cannot meet the trap. False when Qt refuses it.
bool DecodeName(const QByteArray& token, QString* name) {
  const QJsonDocument document = QJsonDocument::fromJson('[' + token + ']');
  const QJsonValue value = document.array().at(0);
  if (!value.isString()) return false;
  *name = value.toString();
  return true;
}

struct Level {
  bool object;
  QSet<QString> names;
};

}  // namespace

bool RepeatsMemberName(const QByteArray& text) {
  std::vector<Level> levels;
  const int size = text.size();
  for (int i = 0; i < size; ++i) {
    const char c = text[i];
    if (c == '{' || c == '[') {
      levels.push_back(Level{c == '{', {}});
    } else if (c == '}' || c == ']') {
      if (levels.empty()) return false;
      levels.pop_back();
    } else if (c == '"') {
      const int start = i;
      for (++i; i < size && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      if (i >= size) return false;
      int next = i + 1;
      while (next < size && IsJsonSpace(text[next])) ++next;
      if (next >= size || text[next] != ':' || levels.empty() || !levels.back().object) continue;
      QString name;
      if (!DecodeName(text.mid(start, i - start + 1), &name)) return false;
      if (levels.back().names.contains(name)) return true;
      levels.back().names.insert(name);
    }
  }
  return false;
}

}  // namespace tovix
