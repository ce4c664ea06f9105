#include "wuStartDetached.h"

#include <QFile>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

bool wuStartDetached(const QString& program, const QStringList& arguments) {
    // A shell in between starts the program in the background and ends at
    // once, so the program is nobody's child here and leaves no zombie.
    std::vector<QByteArray> texts{"/bin/sh", "-c", "\"$0\" \"$@\" </dev/null &",
                                  QFile::encodeName(program)};
    for (const QString& argument : arguments)
        texts.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t shell = 0;
    const bool started =
        posix_spawn(&shell, "/bin/sh", &actions, &attributes, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    int status = 0;
    return started && ::waitpid(shell, &status, 0) == shell && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}
