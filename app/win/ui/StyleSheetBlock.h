// Single rules of the application style sheet, for widgets that take their
// look from a rule by its selector.
#pragma once

#include <QString>

// The text between the braces of the rule for exactly that selector in the
// application's style sheet; empty when there is none.
QString StyleSheetBlock(const QString& selector);
