#pragma once

#include <QString>
#include <array>
#include <optional>

// The four numbers of a file version: major.minor.release.build.
using TFileVersion = std::array<quint16, 4>;

// The running program's own version, compiled in from the build's version.
std::optional<TFileVersion> OwnFileVersion();

// "major.minor", or empty when there is no version data.
QString VersionMajorMinor(const std::optional<TFileVersion>& version = OwnFileVersion());
// The four numbers; all zero when there is no version data.
TFileVersion FileVersionParts(const std::optional<TFileVersion>& version = OwnFileVersion());
// "major.minor.release.build".
QString FileVersionText(const std::optional<TFileVersion>& version = OwnFileVersion());

// The machine's name, at most 260 characters; empty when it cannot be had.
QString LocalComputerName();
