#include "SnapshotFiles.h"
#include "FrameKernels.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <jpeglib.h>

namespace {

// 0, or the error link(2) answers with, as a file system without hard links would.
std::atomic<int> RefusedLinkError = 0;

} // namespace

// Defined in the test program, this link(2) stands in for the C library's, as a preloaded one
// would: the archive ring meets a file system without hard links with no hook of its own.
extern "C" int link(const char* from, const char* to) noexcept {
    if (const int error = RefusedLinkError.load(); error != 0) {
        errno = error;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}

namespace {

QImage Gradient(int width, int height) {
    QImage image(width, height, QImage::Format_BGR888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, (x + y) * 3 % 256));
    return image;
}

QByteArray ReadAll(const QString& fileName) {
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& fileName, const QByteArray& bytes) {
    QFile file(fileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

std::uint32_t Le(const QByteArray& bytes, int at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

void ExpectErrorNaming(const std::function<void()>& action, const QString& fileName) {
    try {
        action();
        ADD_FAILURE() << "no error for " << fileName.toStdString();
    } catch (const EFrameError& error) {
        EXPECT_TRUE(QString::fromUtf8(error.what()).contains(fileName)) << error.what();
    }
}

// Files above the limit cannot be written while the guard lives (the signal is ignored, so the
// write fails with EFBIG instead of ending the process).
class TFileSizeLimit {
  public:
    explicit TFileSizeLimit(rlim_t bytes) : OldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &Old);
        rlimit limit = Old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &Old);
        std::signal(SIGXFSZ, OldHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

  private:
    rlimit Old{};
    void (*OldHandler)(int);
};

// ---- Bitmaps ----------------------------------------------------------------------------------

TEST(BitmapFiles, OddWidthsRoundTripByteForByteWithWindowsHeaders) {
    QTemporaryDir folder;
    const QString name = folder.filePath("camera.bmp");
    for (const QSize size : {QSize(1, 1), QSize(5, 3), QSize(6, 2), QSize(7, 4)}) {
        const QImage image = Gradient(size.width(), size.height());
        WriteBitmapFile(image, name);
        const QByteArray bytes = ReadAll(name);
        const int rowBytes = (3 * size.width() + 3) / 4 * 4;
        ASSERT_EQ(bytes.size(), 54 + rowBytes * size.height());
        EXPECT_EQ(bytes.left(2), "BM");
        const std::array<std::array<std::uint32_t, 3>, 11> fields{{
            {2, 4, static_cast<std::uint32_t>(bytes.size())},
            {10, 4, 54},
            {14, 4, 40},
            {18, 4, static_cast<std::uint32_t>(size.width())},
            {22, 4, static_cast<std::uint32_t>(size.height())},
            {26, 2, 1},
            {28, 2, 24},
            {30, 4, 0},
            {34, 4, static_cast<std::uint32_t>(rowBytes * size.height())},
            {46, 4, 0},
            {6, 4, 0},
        }};
        for (const auto& [at, width, value] : fields)
            EXPECT_EQ(Le(bytes, static_cast<int>(at), static_cast<int>(width)), value) << at;
        // Bottom-up rows of blue, green, red, padded with zeros.
        const QRgb bottomLeft = image.pixel(0, size.height() - 1);
        EXPECT_EQ(static_cast<std::uint8_t>(bytes[54]), qBlue(bottomLeft));
        EXPECT_EQ(static_cast<std::uint8_t>(bytes[56]), qRed(bottomLeft));
        for (int pad = 3 * size.width(); pad < rowBytes; ++pad)
            EXPECT_EQ(bytes[54 + pad], 0);

        const QImage back = ReadBitmapFile(name);
        EXPECT_EQ(back.format(), QImage::Format_BGR888);
        EXPECT_EQ(back, image);
    }
    WriteBitmapFile(Gradient(5, 3).convertToFormat(QImage::Format_RGB32), name);
    EXPECT_EQ(ReadBitmapFile(name), Gradient(5, 3));
}

TEST(BitmapFiles, ReadingRefusesEveryOtherForm) {
    QTemporaryDir folder;
    const QString name = folder.filePath("camera.bmp");
    WriteBitmapFile(Gradient(5, 3), name);
    const QByteArray good = ReadAll(name);
    const auto patched = [&](int at, std::uint32_t value, int size) {
        QByteArray bytes = good;
        for (int i = 0; i < size; ++i)
            bytes[at + i] = static_cast<char>(value >> (8 * i));
        return bytes;
    };
    const QByteArray bad[] = {
        patched(0, 'P' | 'K' << 8, 2), // magic
        patched(28, 32, 2),            // 32 bits
        patched(30, 1, 4),             // RLE
        patched(14, 108, 4),           // a later header
        patched(22, 0xFFFFFFFD, 4),    // top-down
        patched(18, 0, 4),             // no width
        patched(18, 0x7FFFFFFF, 4),    // far more pixels than the file holds
        good.left(good.size() - 1),    // truncated
        good.left(20),                 // header cut
    };
    for (const QByteArray& bytes : bad) {
        WriteAll(name, bytes);
        ExpectErrorNaming([&] { ReadBitmapFile(name); }, name);
    }
    ExpectErrorNaming([&] { ReadBitmapFile(folder.filePath("missing.bmp")); },
                      folder.filePath("missing.bmp"));
}

TEST(BitmapFiles, AFailedWriteThrowsAndLeavesNothing) {
    QTemporaryDir folder;
    const QString missing = folder.filePath("no/camera.bmp");
    ExpectErrorNaming([&] { WriteBitmapFile(Gradient(4, 4), missing); }, missing);
    const QString name = folder.filePath("camera.bmp");
    {
        const TFileSizeLimit limit(100);
        ExpectErrorNaming([&] { WriteBitmapFile(Gradient(40, 40), name); }, name);
    }
    EXPECT_FALSE(QFile::exists(name));
    EXPECT_THROW(WriteBitmapFile(QImage(), name), EFrameError);
}

// ---- JPEG -------------------------------------------------------------------------------------

struct TJpegSegment {
    std::uint8_t Marker;
    QByteArray Body;
};

// The marker segments up to the start of the scan.
std::vector<TJpegSegment> Segments(const QByteArray& jpeg) {
    std::vector<TJpegSegment> segments;
    for (int at = 2; at + 4 <= jpeg.size() && static_cast<std::uint8_t>(jpeg[at]) == 0xFF;) {
        const auto marker = static_cast<std::uint8_t>(jpeg[at + 1]);
        const int length =
            static_cast<std::uint8_t>(jpeg[at + 2]) << 8 | static_cast<std::uint8_t>(jpeg[at + 3]);
        segments.push_back({marker, jpeg.mid(at + 4, length - 2)});
        if (marker == 0xDA)
            break;
        at += 2 + length;
    }
    return segments;
}

struct TDecodeError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
};

// Decodes into blue-green-red rows; false when libjpeg refuses the data.
bool Decode(const QByteArray& jpeg, jpeg_decompress_struct* info, std::vector<std::uint8_t>* out) {
    auto* error = reinterpret_cast<TDecodeError*>(info->err);
    if (setjmp(error->Jump))
        return false;
    jpeg_create_decompress(info);
    jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(info, TRUE);
    info->out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(info);
    out->resize(std::size_t{info->output_width} * info->output_height * 3);
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = out->data() + std::size_t{info->output_scanline} * info->output_width * 3;
        jpeg_read_scanlines(info, &row, 1);
    }
    jpeg_finish_decompress(info);
    return true;
}

QImage Decoded(const QByteArray& jpeg) {
    TDecodeError error{};
    jpeg_decompress_struct info{};
    info.err = jpeg_std_error(&error.Manager);
    error.Manager.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<TDecodeError*>(common->err)->Jump, 1);
    };
    std::vector<std::uint8_t> pixels;
    const bool decoded = Decode(jpeg, &info, &pixels);
    const auto width = static_cast<int>(info.output_width);
    const auto height = static_cast<int>(info.output_height);
    jpeg_destroy_decompress(&info);
    if (!decoded)
        return {};
    return QImage(pixels.data(), width, height, 3 * width, QImage::Format_BGR888).copy();
}

TEST(JpegFiles, BaselineThreeComponentsQuality100AndCloseToTheImage) {
    const QImage image = Gradient(37, 29);
    const QByteArray jpeg = EncodeJpeg(image);
    ASSERT_TRUE(jpeg.startsWith("\xFF\xD8"));
    int quantTables = 0;
    bool baseline = false;
    for (const TJpegSegment& segment : Segments(jpeg)) {
        EXPECT_NE(segment.Marker, 0xC2) << "progressive";
        if (segment.Marker == 0xC0) {
            baseline = true;
            EXPECT_EQ(segment.Body[0], 8);
            EXPECT_EQ(segment.Body.mid(1, 4), QByteArray::fromHex("001d0025")); // 29 x 37
            EXPECT_EQ(segment.Body[5], 3);
        }
        // Quality 100 scales every entry of the standard tables down to 1.
        for (int at = 0; segment.Marker == 0xDB && at + 65 <= segment.Body.size(); at += 65) {
            ++quantTables;
            EXPECT_EQ(segment.Body[at] >> 4, 0) << "8-bit entries";
            EXPECT_EQ(segment.Body.mid(at + 1, 64), QByteArray(64, 1));
        }
    }
    EXPECT_TRUE(baseline);
    EXPECT_EQ(quantTables, 2);
    // The quality goes through: at 50 the luminance table is the standard one, starting at 16.
    const std::vector<TJpegSegment> half = Segments(EncodeJpeg(image, 50));
    const auto table = std::find_if(half.begin(), half.end(),
                                    [](const TJpegSegment& s) { return s.Marker == 0xDB; });
    ASSERT_NE(table, half.end());
    EXPECT_EQ(table->Body[1], 16);

    const QImage decoded = Decoded(jpeg);
    ASSERT_EQ(decoded.size(), image.size());
    double error = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < 3 * image.width(); ++x)
            error += std::abs(image.constScanLine(y)[x] - decoded.constScanLine(y)[x]);
    EXPECT_LT(error / (3.0 * image.width() * image.height()), 2.0);
    EXPECT_THROW(EncodeJpeg(QImage()), EFrameError);
}

TEST(JpegFiles, WriteReplacesTheTargetOnlyWhenComplete) {
    QTemporaryDir folder;
    const QString name = folder.filePath("camera.jpg");
    const QImage image = Gradient(64, 48);
    WriteAll(name, "old snapshot");
    {
        const TFileSizeLimit limit(64);
        ExpectErrorNaming([&] { WriteJpegFile(image, name); }, name);
    }
    EXPECT_EQ(ReadAll(name), "old snapshot");
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{"camera.jpg"});

    WriteJpegFile(image, name);
    EXPECT_EQ(ReadAll(name), EncodeJpeg(image));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{"camera.jpg"});
    const mode_t mask = umask(0);
    umask(mask);
    struct stat status {};
    ASSERT_EQ(stat(QFile::encodeName(name).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
}

TEST(JpegFiles, AFailedWriteNamesTheFileAndLeavesNothingBehind) {
    QTemporaryDir folder;
    const QString missing = folder.filePath("no/camera.jpg");
    ExpectErrorNaming([&] { WriteJpegFile(Gradient(8, 8), missing); }, missing);
    // A folder under the target name cannot be replaced by a file.
    const QString blocked = folder.filePath("camera.jpg");
    ASSERT_TRUE(QDir(folder.path()).mkdir("camera.jpg"));
    ExpectErrorNaming([&] { WriteJpegFile(Gradient(8, 8), blocked); }, blocked);
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{"camera.jpg"});
    ExpectErrorNaming([&] { WriteJpegFile(QImage(), folder.filePath("empty.jpg")); },
                      folder.filePath("empty.jpg"));
}

TEST(JpegFiles, FromABitmapFileTheSameBytesAsFromTheImageReadBack) {
    QTemporaryDir folder;
    const QString bitmap = folder.filePath("camera.bmp");
    const QString name = folder.filePath("camera.jpg");
    // Padded rows, and heights that end in a part band.
    for (const QSize size : {QSize(1, 1), QSize(5, 3), QSize(37, 29), QSize(64, 48)}) {
        WriteBitmapFile(Gradient(size.width(), size.height()), bitmap);
        for (const int quality : {100, 50}) {
            WriteJpegFileFromBitmap(bitmap, name, quality);
            EXPECT_EQ(ReadAll(name), EncodeJpeg(ReadBitmapFile(bitmap), quality))
                << size.width() << "x" << size.height() << " q" << quality;
        }
    }
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files),
              (QStringList{"camera.bmp", "camera.jpg"}));
}

TEST(JpegFiles, FromABadBitmapTheErrorNamesItAndTheOldJpegStays) {
    QTemporaryDir folder;
    const QString bitmap = folder.filePath("camera.bmp");
    const QString name = folder.filePath("camera.jpg");
    WriteBitmapFile(Gradient(40, 40), bitmap);
    const QByteArray good = ReadAll(bitmap);
    WriteAll(name, "old snapshot");
    for (const QByteArray& bytes : {good.left(good.size() - 1), good.left(20), QByteArray()}) {
        WriteAll(bitmap, bytes);
        ExpectErrorNaming([&] { WriteJpegFileFromBitmap(bitmap, name); }, bitmap);
    }
    ExpectErrorNaming([&] { WriteJpegFileFromBitmap(folder.filePath("missing.bmp"), name); },
                      folder.filePath("missing.bmp"));
    WriteAll(bitmap, good);
    {
        const TFileSizeLimit limit(64);
        ExpectErrorNaming([&] { WriteJpegFileFromBitmap(bitmap, name); }, name);
    }
    EXPECT_EQ(ReadAll(name), "old snapshot");
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files),
              (QStringList{"camera.bmp", "camera.jpg"}));
}

// ---- The archive ring -------------------------------------------------------------------------

// While one lives, link(2) answers as a file system without hard links does.
class TLinksRefused {
  public:
    explicit TLinksRefused(int error) { RefusedLinkError = error; }
    ~TLinksRefused() { RefusedLinkError = 0; }
    TLinksRefused(const TLinksRefused&) = delete;
    TLinksRefused& operator=(const TLinksRefused&) = delete;
};

ino_t InodeOf(const QString& fileName) {
    struct stat status {};
    return stat(QFile::encodeName(fileName).constData(), &status) == 0 ? status.st_ino : 0;
}

TEST(ArchiveRing, TheNewestStaysInPlaceAndItsSlotGetsALinkOrACopy) {
    const struct {
        const char* name;
        int linkError; // 0: the file system's own link(2)
        bool sameFile;
    } cases[] = {
        {"hard link", 0, true},
        {"no links across devices (EXDEV)", EXDEV, false},
        {"no links on this file system (EPERM)", EPERM, false},
        {"links not supported (ENOTSUP)", ENOTSUP, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TLinksRefused refused(c.linkError);
        QTemporaryDir folder;
        const QString base = folder.filePath("camera");
        WriteAll(base + ".jpg", "newest");
        WriteAll(ArchiveSlotName(base, 7), "oldest");
        EXPECT_TRUE(PutNewestIntoSlot(base, 7));
        EXPECT_EQ(ReadAll(base + ".jpg"), "newest");
        EXPECT_EQ(ReadAll(ArchiveSlotName(base, 7)), "newest");
        EXPECT_EQ(InodeOf(base + ".jpg") == InodeOf(ArchiveSlotName(base, 7)), c.sameFile);
        EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files),
                  (QStringList{"camera.jpg", "camera0007.jpg"}));

        // No newest snapshot (the first of a run): nothing to put there, the slot is freed.
        ASSERT_TRUE(QFile::remove(base + ".jpg"));
        EXPECT_FALSE(PutNewestIntoSlot(base, 7));
        EXPECT_TRUE(QDir(folder.path()).isEmpty());
    }
}

TEST(ArchiveRing, ACopyThatFailsNamesTheSlotAndLeavesNoPartOfIt) {
    QTemporaryDir folder;
    const QString base = folder.filePath("camera");
    WriteAll(base + ".jpg", QByteArray(4096, 'j'));
    {
        const TLinksRefused refused(EXDEV);
        const TFileSizeLimit limit(64);
        ExpectErrorNaming([&] { PutNewestIntoSlot(base, 1); }, ArchiveSlotName(base, 1));
    }
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{"camera.jpg"});
}

} // namespace
