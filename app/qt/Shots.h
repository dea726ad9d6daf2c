// What the programs that take pictures of the windows share: the folder the
// pictures go to, a scratch folder for the image, the image, and saving.
#pragma once

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "protocol/Protocol.h"

namespace zq {

// Off screen unless told otherwise; the pictures' folder made, a scratch
// folder under /tmp named from tmpTemplate ("/tmp/zq-shots-XXXXXX"). false,
// with why on stderr.
inline bool OpenShots(int argc, char** argv, const char* usage, char* tmpTemplate, QString& out)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s\n", usage);
        std::exit(2);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    out = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(out)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return false;
    }
    if (!mkdtemp(tmpTemplate)) {
        std::perror("mkdtemp");
        return false;
    }
    return true;
}

inline bool SaveShot(const QPixmap& picture, const QString& folder, const char* name)
{
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    if (!picture.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// A valid image of blocks blocks: header word 8, the magic, then a pattern.
inline bool WriteShotImage(const std::string& path, uint32_t blocks)
{
    std::vector<uint8_t> image = BlankImage(8, blocks);
    uint32_t x = 7;
    for (size_t i = 6; i < image.size(); ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<uint8_t>(x >> 16);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out);
}

}  // namespace zq
