#include "porvane/widgets/beeper.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <cmath>
#include <cstdint>

namespace porvane::widgets {
namespace {

// A 16-bit mono WAV file holding the tone.
QByteArray ToneWave(int frequency_hz, int duration_ms) {
    constexpr int kRate = 22050;
    const int samples = kRate * duration_ms / 1000;
    QByteArray pcm(samples * 2, '\0');
    for (int i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const auto v = static_cast<int16_t>(12000 * std::sin(2 * M_PI * frequency_hz * t));
        pcm[2 * i] = static_cast<char>(v & 0xFF);
        pcm[2 * i + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
    auto le32 = [](uint32_t v) {
        const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
        return QByteArray(b, 4);
    };
    auto le16 = [](uint16_t v) {
        const char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
        return QByteArray(b, 2);
    };
    QByteArray wav = QByteArray("RIFF") + le32(static_cast<uint32_t>(36 + pcm.size())) +
                     "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(kRate) + le32(kRate * 2) +
                     le16(2) + le16(16) + "data" + le32(static_cast<uint32_t>(pcm.size()));
    return wav + pcm;
}

}  // namespace

void Beep(int frequency_hz, int duration_ms) {
    const QString path = QDir::temp().filePath(
        QStringLiteral("porvane-beep-%1-%2.wav").arg(frequency_hz).arg(duration_ms));
    if (!QFile::exists(path)) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(ToneWave(frequency_hz, duration_ms));
    }
    for (const char* player : {"paplay", "aplay"}) {
        const QString program = QStandardPaths::findExecutable(QString::fromLatin1(player));
        if (!program.isEmpty()) {
            QStringList args;
            if (QLatin1String(player) == QLatin1String("aplay"))
                args << QStringLiteral("-q");
            args << path;
            if (QProcess::startDetached(program, args))
                return;
        }
    }
    QApplication::beep();
}

}  // namespace porvane::widgets
