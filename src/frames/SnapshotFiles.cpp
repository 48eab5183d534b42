#include "SnapshotFiles.h"

#include "FrameKernels.h"

#include <QFile>

#include <array>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <jpeglib.h>

#ifndef JCS_EXTENSIONS
#error "libjpeg-turbo is needed: rows go into the encoder as blue, green, red bytes"
#endif

namespace {

// ---- Files ----------------------------------------------------------------------------------

std::string NativeName(const QString& fileName) {
    return QFile::encodeName(fileName).toStdString();
}

QString SystemReason(int error) {
    return QString::fromStdString(std::error_code(error, std::generic_category()).message());
}

[[noreturn]] void Fail(const char* what, const QString& fileName, const QString& reason) {
    throw EFrameError(
        QStringLiteral("%1 %2. %3").arg(QLatin1String(what), fileName, reason).toStdString());
}

class TFileDescriptor {
  public:
    explicit TFileDescriptor(int fd) : Fd(fd) {}
    ~TFileDescriptor() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;

    int Get() const { return Fd; }
    // Closes now; 0 or the error of the close, which can be the first sign of a failed write.
    int Close() { return ::close(std::exchange(Fd, -1)) == 0 ? 0 : errno; }

  private:
    int Fd;
};

// A file this writer made, removed again unless the writer kept it.
class TMadeFile {
  public:
    explicit TMadeFile(std::string path, bool removable = true)
        : Path(std::move(path)), Kept(!removable) {}
    ~TMadeFile() {
        if (!Kept)
            ::unlink(Path.c_str());
    }
    TMadeFile(const TMadeFile&) = delete;
    TMadeFile& operator=(const TMadeFile&) = delete;

    void Keep() { Kept = true; }

  private:
    std::string Path;
    bool Kept;
};

// 0, or the error that stopped the write.
int WriteAll(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<std::size_t>(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        data += written;
        size -= written;
    }
    return 0;
}

// The number of bytes read, short only at the end of the file; -1 with errno on an error.
qsizetype ReadUpTo(int fd, char* data, qsizetype size) {
    qsizetype done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, data + done, static_cast<std::size_t>(size - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

// mkstemp makes a private file; the snapshot gets the permissions of a freshly created file.
mode_t NewFileMode() {
    mode_t mask = 022;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("Umask:"))
                mask = static_cast<mode_t>(line.mid(6).trimmed().toUInt(nullptr, 8));
    return 0666 & ~mask;
}

// Writes the bytes to a temporary file beside the target and renames it over the target, so
// the name holds either the old file or the whole new one.
void ReplaceFile(const QString& fileName, const QByteArray& bytes) {
    const std::string target = NativeName(fileName);
    std::string temporaryName = target + ".tmp-XXXXXX";
    TFileDescriptor file(::mkostemp(temporaryName.data(), O_CLOEXEC));
    if (file.Get() < 0)
        Fail("Cannot create file", fileName, SystemReason(errno));
    TMadeFile temporary(temporaryName);
    int error = ::fchmod(file.Get(), NewFileMode()) == 0 ? 0 : errno;
    if (!error)
        error = WriteAll(file.Get(), bytes.constData(), bytes.size());
    if (!error && ::fsync(file.Get()) != 0)
        error = errno;
    if (const int closeError = file.Close(); !error)
        error = closeError;
    if (!error && ::rename(temporaryName.c_str(), target.c_str()) != 0)
        error = errno;
    if (error)
        Fail("Cannot create file", fileName, SystemReason(error));
    temporary.Keep();
}

// ---- Windows bitmaps ------------------------------------------------------------------------

constexpr qsizetype BitmapHeaderBytes = 14 + 40;

void PutLe(char* at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint32_t GetLe(const char* at, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | static_cast<std::uint8_t>(at[i]);
    return value;
}

qsizetype BitmapRowBytes(int width) {
    return (3 * static_cast<qsizetype>(width) + 3) & ~qsizetype{3};
}

QImage AsBgr888(const QImage& image) {
    return image.format() == QImage::Format_BGR888 ? image
                                                   : image.convertToFormat(QImage::Format_BGR888);
}

// The whole file: headers, then the rows bottom-up, each padded with zeros to four bytes.
QByteArray BitmapBytes(const QImage& bgr, const QString& fileName) {
    const qsizetype rowBytes = BitmapRowBytes(bgr.width());
    const qsizetype pixelBytes = rowBytes * bgr.height();
    if (BitmapHeaderBytes + pixelBytes > qsizetype{0xFFFFFFFF})
        Fail("Cannot create file", fileName, QStringLiteral("The image is too large."));
    QByteArray bytes(BitmapHeaderBytes + pixelBytes, Qt::Uninitialized);
    char* out = bytes.data();
    std::memset(out, 0, BitmapHeaderBytes);
    out[0] = 'B';
    out[1] = 'M';
    PutLe(out + 2, static_cast<std::uint32_t>(bytes.size()), 4);
    PutLe(out + 10, BitmapHeaderBytes, 4);
    PutLe(out + 14, 40, 4);
    PutLe(out + 18, static_cast<std::uint32_t>(bgr.width()), 4);
    PutLe(out + 22, static_cast<std::uint32_t>(bgr.height()), 4);
    PutLe(out + 26, 1, 2);
    PutLe(out + 28, 24, 2);
    PutLe(out + 34, static_cast<std::uint32_t>(pixelBytes), 4);
    const auto usedBytes = static_cast<std::size_t>(3 * static_cast<qsizetype>(bgr.width()));
    for (int y = 0; y < bgr.height(); ++y) {
        char* row = out + BitmapHeaderBytes + (bgr.height() - 1 - y) * rowBytes;
        std::memcpy(row, bgr.constScanLine(y), usedBytes);
        std::memset(row + usedBytes, 0, static_cast<std::size_t>(rowBytes) - usedBytes);
    }
    return bytes;
}

// The size of the pixels that the header announces, or a reason to refuse the file.
QString CheckBitmapHeader(const char* header, int& width, int& height) {
    if (header[0] != 'B' || header[1] != 'M')
        return QStringLiteral("It is not a bitmap file.");
    if (GetLe(header + 10, 4) != BitmapHeaderBytes || GetLe(header + 14, 4) != 40)
        return QStringLiteral("Its bitmap header is not the Windows 3 header.");
    if (GetLe(header + 26, 2) != 1 || GetLe(header + 28, 2) != 24)
        return QStringLiteral("It is not a 24-bit bitmap.");
    if (GetLe(header + 30, 4) != 0)
        return QStringLiteral("The bitmap is compressed.");
    width = static_cast<std::int32_t>(GetLe(header + 18, 4));
    height = static_cast<std::int32_t>(GetLe(header + 22, 4));
    if (width <= 0 || height <= 0)
        return QStringLiteral("The bitmap has no pixels or is stored top-down.");
    return {};
}

// ---- JPEG -----------------------------------------------------------------------------------

// libjpeg hands error_exit a pointer to the manager, which is the first member here.
struct TJpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
    std::array<char, JMSG_LENGTH_MAX> Message;
};

[[noreturn]] void JumpOnError(j_common_ptr info) {
    auto* error = reinterpret_cast<TJpegError*>(info->err);
    (*info->err->format_message)(info, error->Message.data());
    std::longjmp(error->Jump, 1);
}

void IgnoreMessage(j_common_ptr) {}

// One compression into a caller's buffer; destroying it releases everything libjpeg holds.
struct TJpegJob {
    TJpegJob(const QImage& bgr, int quality, QByteArray& buffer)
        : Rows(bgr.constBits()), BytesPerLine(bgr.bytesPerLine()), Width(bgr.width()),
          Height(bgr.height()), Quality(quality),
          Output(reinterpret_cast<unsigned char*>(buffer.data())),
          OutputSize(static_cast<unsigned long>(buffer.size())) {
        Info.err = jpeg_std_error(&Error.Manager);
        Error.Manager.error_exit = &JumpOnError;
        Error.Manager.output_message = &IgnoreMessage;
    }
    ~TJpegJob() { jpeg_destroy_compress(&Info); }
    TJpegJob(const TJpegJob&) = delete;
    TJpegJob& operator=(const TJpegJob&) = delete;

    jpeg_compress_struct Info{};
    TJpegError Error{};
    const uchar* Rows;
    qsizetype BytesPerLine;
    int Width, Height, Quality;
    unsigned char* Output;
    unsigned long OutputSize;
};

// Runs libjpeg from creation to the last row. libjpeg reports an error by jumping back here,
// so this function holds nothing that has a destructor.
bool Compress(TJpegJob* job) {
    if (setjmp(job->Error.Jump))
        return false;
    jpeg_create_compress(&job->Info);
    jpeg_mem_dest(&job->Info, &job->Output, &job->OutputSize);
    job->Info.image_width = static_cast<JDIMENSION>(job->Width);
    job->Info.image_height = static_cast<JDIMENSION>(job->Height);
    job->Info.input_components = 3;
    job->Info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&job->Info);
    jpeg_set_quality(&job->Info, job->Quality, TRUE);
    jpeg_start_compress(&job->Info, TRUE);
    while (job->Info.next_scanline < job->Info.image_height) {
        // libjpeg takes non-const rows but only reads them.
        JSAMPROW row =
            const_cast<JSAMPROW>(job->Rows + job->Info.next_scanline * job->BytesPerLine);
        jpeg_write_scanlines(&job->Info, &row, 1);
    }
    jpeg_finish_compress(&job->Info);
    return true;
}

// More than any baseline JPEG of the size takes (six bytes a pixel of whole 16x16 blocks, plus
// the headers), so the library never has to grow the buffer on its own.
qsizetype JpegBound(int width, int height) {
    const auto block = [](int n) {
        return (static_cast<qsizetype>(n) + 15) / 16 * 16;
    };
    return block(width) * block(height) * 6 + 4096;
}

// The encoded bytes, or a thrown reason without a file name.
QByteArray Encode(const QImage& image, int quality) {
    const QImage bgr = AsBgr888(image);
    if (bgr.isNull())
        throw EFrameError("The image is empty.");
    QByteArray buffer(JpegBound(bgr.width(), bgr.height()), Qt::Uninitialized);
    TJpegJob job(bgr, quality, buffer);
    if (!Compress(&job))
        throw EFrameError(job.Error.Message.data());
    const auto size = static_cast<qsizetype>(job.OutputSize);
    if (job.Output != reinterpret_cast<unsigned char*>(buffer.data())) {
        // The library outgrew the buffer and made its own, which is ours to free.
        const std::unique_ptr<unsigned char, decltype(&std::free)> own(job.Output, &std::free);
        return QByteArray(reinterpret_cast<const char*>(own.get()), size);
    }
    buffer.truncate(size);
    return buffer;
}

} // namespace

void WriteBitmapFile(const QImage& image, const QString& fileName) {
    const QImage bgr = AsBgr888(image);
    if (bgr.isNull())
        Fail("Cannot create file", fileName, QStringLiteral("The image is empty."));
    const QByteArray bytes = BitmapBytes(bgr, fileName);
    const std::string path = NativeName(fileName);
    TFileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.Get() < 0)
        Fail("Cannot create file", fileName, SystemReason(errno));
    // Only a regular file is ours to remove again; a device or pipe under the name is not.
    struct stat status {};
    TMadeFile written(path, ::fstat(file.Get(), &status) == 0 && S_ISREG(status.st_mode));
    int error = WriteAll(file.Get(), bytes.constData(), bytes.size());
    if (const int closeError = file.Close(); !error)
        error = closeError;
    if (error)
        Fail("Cannot write file", fileName, SystemReason(error));
    written.Keep();
}

QImage ReadBitmapFile(const QString& fileName) {
    TFileDescriptor file(::open(NativeName(fileName).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0)
        Fail("Cannot open file", fileName, SystemReason(errno));
    std::array<char, BitmapHeaderBytes> header{};
    const qsizetype headerRead = ReadUpTo(file.Get(), header.data(), BitmapHeaderBytes);
    if (headerRead < 0)
        Fail("Cannot read file", fileName, SystemReason(errno));
    if (headerRead < BitmapHeaderBytes)
        Fail("Cannot read bitmap", fileName, QStringLiteral("The file is too short."));
    int width = 0, height = 0;
    if (const QString refusal = CheckBitmapHeader(header.data(), width, height); !refusal.isEmpty())
        Fail("Cannot read bitmap", fileName, refusal);
    const qsizetype rowBytes = BitmapRowBytes(width);
    // Checked against the file's size before anything of the announced size is allocated.
    if (height > (status.st_size - BitmapHeaderBytes) / rowBytes)
        Fail("Cannot read bitmap", fileName, QStringLiteral("The file is truncated."));

    QByteArray pixels(rowBytes * height, Qt::Uninitialized);
    const qsizetype pixelsRead = ReadUpTo(file.Get(), pixels.data(), pixels.size());
    if (pixelsRead < 0)
        Fail("Cannot read file", fileName, SystemReason(errno));
    if (pixelsRead < pixels.size())
        Fail("Cannot read bitmap", fileName, QStringLiteral("The file is truncated."));
    QImage image(width, height, QImage::Format_BGR888);
    if (image.isNull())
        Fail("Cannot read bitmap", fileName, QStringLiteral("The bitmap is too large."));
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(height - 1 - y), pixels.constData() + y * rowBytes,
                    3 * static_cast<std::size_t>(width));
    return image;
}

QByteArray EncodeJpeg(const QImage& image, int quality) {
    try {
        return Encode(image, quality);
    } catch (const EFrameError& error) {
        throw EFrameError(std::string("Cannot encode JPEG. ") + error.what());
    }
}

void WriteJpegFile(const QImage& image, const QString& fileName, int quality) {
    QByteArray bytes;
    try {
        bytes = Encode(image, quality);
    } catch (const EFrameError& error) {
        Fail("Cannot create file", fileName, QString::fromUtf8(error.what()));
    }
    ReplaceFile(fileName, bytes);
}
