#pragma once

#include <QString>

// The help page built into the program, shown in the web view when the help
// page on the web cannot be loaded: in Czech, what Velora does, how to log in,
// what the status bar says and where data.ini and historie.dat live
// (dataFolder). A whole HTML document.
QString BuiltInHelpPage(const QString& dataFolder);
