#pragma once

// Texts and file names between the toolkit-free dialog core (UTF-16 strings,
// file system paths) and Qt.
#include <QFile>
#include <QString>

#include <filesystem>
#include <string>
#include <string_view>

namespace tolvane::ui {

inline QString qtText(std::u16string_view text) {
    return QString::fromUtf16(text.data(), qsizetype(text.size()));
}

inline std::u16string coreText(const QString& text) {
    return text.toStdU16String();
}

// A file the user named (a file dialog's choice, a dropped file), in the file
// system's own encoding.
inline std::filesystem::path localPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// A path of the core's, for Qt.
inline QString qtPath(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

} // namespace tolvane::ui
