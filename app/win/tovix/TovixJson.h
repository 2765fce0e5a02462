// The extension's texts as Qt reads them, less one trap of Qt 5.15's JSON
// parser: an object or array that a repeated member name replaces is never
// freed. A text that repeats a name would cost memory for the rest of the
// process, so it is turned away before Qt parses it.
#pragma once

#include <QByteArray>

namespace tovix {

// True when some object of the text names one member twice, the names
// compared as Qt's parser decodes them. Only the part of the text that Qt
// would accept matters: Qt gives up at the first fault, before the object
// around it is complete.
bool RepeatsMemberName(const QByteArray& text);

}  // namespace tovix
