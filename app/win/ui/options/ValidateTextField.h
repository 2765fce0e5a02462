// The check of one free-text field of the option pages.
#pragma once

#include <QString>

// Returns when the text has 1 to 259 characters and is not only blanks;
// else throws CValidationError naming the field (its translated label
// without the colon).
void ValidateTextField(const QString& fieldName, const QString& text);
