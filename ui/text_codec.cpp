#include "text_codec.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

namespace qax::ui {

QString FromBytes(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ToBytes(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

QString ForDisplay(const std::string& text) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    return utf8.hasError() ? FromBytes(text) : decoded;
}

std::string NativePath(const QString& path) {
#ifdef _WIN32
    // The core's paths are UTF-8 on Windows, and spelled with backslashes
    // as the system gives them (the file dialog answers with slashes).
    const QByteArray bytes = QDir::toNativeSeparators(path).toUtf8();
#else
    const QByteArray bytes = QFile::encodeName(path);
#endif
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

}  // namespace qax::ui
