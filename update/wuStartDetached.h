#pragma once

#include <QString>
#include <QStringList>

// Starts a program in a session of its own that outlives this process. It
// inherits only standard input, output and error: none of this program's
// sockets, pipes or shared memory, which would otherwise live on in it.
// False when it could not be started.
bool wuStartDetached(const QString& program, const QStringList& arguments);
