#pragma once

#include <QStringList>

// The texts of the exceptions that escaped a handler into the event loop and were
// caught in the application object's notify, as the program's default error report
// does; the list is emptied.
QStringList TakeEscapedErrors();
