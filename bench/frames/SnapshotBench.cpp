// One whole snapshot as the writer makes it: a text drawn on a copy of the frame (standing in
// for the timestamp), the temporary bitmap written and read back, the JPEG written through a
// temporary file that replaces the target, the bitmap deleted. The peer is a bare libjpeg-turbo
// quality-100 encode of the same pixels to memory. Both run in this process, alternately, and
// the medians are compared. Usage: frames_snapshot [folder for the files]

#include "BenchTable.h"
#include "SnapshotFiles.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr double Target = 1.5;

// Smooth light with a little sensor noise, which is what a camera gives the encoder.
QImage CameraLikeFrame(int width, int height) {
    QImage frame(width, height, QImage::Format_BGR888);
    std::mt19937 random(5);
    for (int y = 0; y < height; ++y) {
        uchar* row = frame.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const int noise = static_cast<int>(random() % 7) - 3;
            row[3 * x] = static_cast<uchar>(std::clamp(64 + 128 * x / width + noise, 0, 255));
            row[3 * x + 1] = static_cast<uchar>(std::clamp(32 + 160 * y / height + noise, 0, 255));
            row[3 * x + 2] = static_cast<uchar>(
                std::clamp(200 - 100 * (x + y) / (width + height) + noise, 0, 255));
        }
    }
    return frame;
}

void Snapshot(const QImage& frame, const QString& base) {
    QImage stamped = frame.copy();
    {
        QPainter painter(&stamped);
        painter.setPen(QColor(0xCC, 0xCC, 0xCC));
        painter.drawText(1, stamped.height() - 3, QStringLiteral(" 08 Dec 2026  01:34:11"));
    }
    const QString bitmap = base + QStringLiteral(".bmp");
    WriteBitmapFile(stamped, bitmap);
    WriteJpegFile(ReadBitmapFile(bitmap), base + QStringLiteral(".jpg"));
    QFile::remove(bitmap);
}

// libjpeg-turbo as its own example uses it: memory destination, defaults, quality 100.
unsigned long BareEncode(const QImage& frame) {
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(frame.width());
    info.image_height = static_cast<JDIMENSION>(frame.height());
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(frame.constScanLine(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return size;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString parent = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir folder(parent + QStringLiteral("/kamvero-snapshot-XXXXXX"));
    if (!folder.isValid()) {
        std::fprintf(stderr, "Cannot make a folder in %s\n", qPrintable(parent));
        return 1;
    }
    const QString base = folder.filePath(QStringLiteral("camera"));
    std::printf("files in %s\n", qPrintable(folder.path()));
    PrintHeader();
    for (const auto& [width, height, runs] : {std::tuple{640, 480, 41}, {1920, 1080, 21}}) {
        const QImage frame = CameraLikeFrame(width, height);
        Snapshot(frame, base); // warm-up: fonts, page cache, the file under its name
        volatile unsigned long sink = BareEncode(frame);
        const auto [ours, peer] = MedianPairMs(
            runs, [&] { Snapshot(frame, base); }, [&] { sink = sink + BareEncode(frame); });
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        PrintRow("snapshot " + size + " vs bare q100 encode", ours, peer, Target);
        std::printf("  (jpeg %lld bytes)\n", static_cast<long long>(QFile(base + ".jpg").size()));
    }
    return 0;
}
