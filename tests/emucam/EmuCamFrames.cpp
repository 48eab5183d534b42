#include "EmuCamFrames.h"

#include "EmuCamDevice.h"
#include "EmulatedPicture.h"

#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <jpeglib.h>

namespace emucam {
namespace {

// Memory of `size` bytes that `fill` writes once; read-only afterwards, so that an element
// downstream that wants to write gets a copy instead of changing the frame for every buffer.
template <typename TFill> TMemoryRef NewFrame(std::size_t size, TFill&& fill) {
    TMemoryRef memory(gst_allocator_alloc(nullptr, size, nullptr));
    GstMapInfo map;
    if (!memory || !gst_memory_map(memory.get(), &map, GST_MAP_WRITE))
        return nullptr;
    const bool filled = fill(map.data);
    gst_memory_unmap(memory.get(), &map);
    if (!filled)
        return nullptr;
    GST_MINI_OBJECT_FLAG_SET(memory.get(), GST_MEMORY_FLAG_READONLY);
    return memory;
}

struct TYuv {
    int Y;
    int U;
    int V;
};

// BT.601, limited range, in integers as drivers and libraries do it.
TYuv ToYuv(const std::uint8_t* rgb) {
    const int r = rgb[0];
    const int g = rgb[1];
    const int b = rgb[2];
    return {16 + ((66 * r + 129 * g + 25 * b + 128) >> 8),
            128 + ((-38 * r - 74 * g + 112 * b + 128) >> 8),
            128 + ((112 * r - 94 * g - 18 * b + 128) >> 8)};
}

void RgbToYuy2(const std::uint8_t* rgb, int width, int height, std::uint8_t* out) {
    const std::size_t rgbRow = static_cast<std::size_t>(width) * 3;
    const std::size_t yuvRow = static_cast<std::size_t>(width) * 2;
    for (int y = 0; y < height; ++y, rgb += rgbRow, out += yuvRow) {
        // Most rows repeat the one above; converting each once keeps start-up quick.
        if (y > 0 && std::memcmp(rgb, rgb - rgbRow, rgbRow) == 0) {
            std::memcpy(out, out - yuvRow, yuvRow);
            continue;
        }
        for (int x = 0; x + 1 < width; x += 2) {
            const TYuv first = ToYuv(rgb + 3 * x);
            const TYuv second = ToYuv(rgb + 3 * x + 3);
            std::uint8_t* pair = out + 2 * x;
            pair[0] = static_cast<std::uint8_t>(first.Y);
            pair[1] = static_cast<std::uint8_t>((first.U + second.U + 1) / 2);
            pair[2] = static_cast<std::uint8_t>(second.Y);
            pair[3] = static_cast<std::uint8_t>((first.V + second.V + 1) / 2);
        }
    }
}

// libjpeg hands error_exit a pointer to the manager, which is the first member here.
struct TJpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
    std::array<char, JMSG_LENGTH_MAX> Message;
};

[[noreturn]] void JumpOnError(j_common_ptr info) {
    auto* error = reinterpret_cast<TJpegError*>(info->err);
    info->err->format_message(info, error->Message.data());
    std::longjmp(error->Jump, 1);
}

// One compression into memory libjpeg allocates; destroying it releases all of it.
struct TJpegJob {
    TJpegJob() {
        Info.err = jpeg_std_error(&Error.Manager);
        Error.Manager.error_exit = &JumpOnError;
    }
    ~TJpegJob() {
        jpeg_destroy_compress(&Info);
        std::free(Output);
    }
    TJpegJob(const TJpegJob&) = delete;
    TJpegJob& operator=(const TJpegJob&) = delete;

    jpeg_compress_struct Info{};
    TJpegError Error{};
    unsigned char* Output = nullptr;
    unsigned long OutputSize = 0;
};

// libjpeg reports an error by jumping back here, so nothing in this function has a destructor.
bool Compress(TJpegJob* job, const std::uint8_t* rgb, int width, int height) {
    if (setjmp(job->Error.Jump))
        return false;
    jpeg_create_compress(&job->Info);
    jpeg_mem_dest(&job->Info, &job->Output, &job->OutputSize);
    job->Info.image_width = static_cast<JDIMENSION>(width);
    job->Info.image_height = static_cast<JDIMENSION>(height);
    job->Info.input_components = 3;
    job->Info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&job->Info);
    jpeg_set_quality(&job->Info, 85, TRUE);
    // 4:2:2, as UVC cameras send MJPEG: chroma halved across, full height.
    job->Info.comp_info[0].h_samp_factor = 2;
    job->Info.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&job->Info, TRUE);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    while (job->Info.next_scanline < job->Info.image_height) {
        // libjpeg takes non-const rows but only reads them.
        JSAMPROW row = const_cast<JSAMPROW>(rgb + job->Info.next_scanline * stride);
        jpeg_write_scanlines(&job->Info, &row, 1);
    }
    jpeg_finish_compress(&job->Info);
    return true;
}

} // namespace

std::optional<TMode> ModeOfCaps(const GstCaps* caps) {
    if (!caps || !gst_caps_is_fixed(caps))
        return std::nullopt;
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    TMode mode;
    if (gst_structure_has_name(structure, "video/x-dv")) {
        // A camcorder records PAL at 25 frames a second whatever the caps say.
        mode.Encoding = TEncoding::Dv;
        mode.RateNumerator = 25;
        return mode;
    }
    if (gst_structure_has_name(structure, "image/jpeg")) {
        mode.Encoding = TEncoding::Jpeg;
    } else if (gst_structure_has_name(structure, "video/x-raw")) {
        const char* format = gst_structure_get_string(structure, "format");
        if (!format || std::strcmp(format, "YUY2") != 0)
            return std::nullopt;
        mode.Encoding = TEncoding::Yuy2;
    } else {
        return std::nullopt;
    }
    if (!gst_structure_get_int(structure, "width", &mode.Width) ||
        !gst_structure_get_int(structure, "height", &mode.Height) ||
        !gst_structure_get_fraction(structure, "framerate", &mode.RateNumerator,
                                    &mode.RateDenominator) ||
        mode.Width <= 0 || mode.Height <= 0 || mode.RateNumerator <= 0 || mode.RateDenominator <= 0)
        return std::nullopt;
    return mode;
}

GstClockTime FrameDuration(const TMode& mode) {
    return gst_util_uint64_scale_int(GST_SECOND, mode.RateDenominator, mode.RateNumerator);
}

std::vector<TMemoryRef> MakeYuy2Loop(int width, int height) {
    std::vector<TMemoryRef> frames;
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 2;
    for (int i = 0; i < LoopFrames; ++i) {
        const std::vector<std::uint8_t> rgb = RenderFrame(i, width, height);
        TMemoryRef frame = NewFrame(size, [&](std::uint8_t* data) {
            RgbToYuy2(rgb.data(), width, height, data);
            return true;
        });
        if (!frame)
            return {};
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::vector<TMemoryRef> MakeJpegLoop(int width, int height, std::string& error) {
    std::vector<TMemoryRef> frames;
    for (int i = 0; i < LoopFrames; ++i) {
        const std::vector<std::uint8_t> rgb = RenderFrame(i, width, height);
        TJpegJob job;
        if (!Compress(&job, rgb.data(), width, height)) {
            error = job.Error.Message.data();
            return {};
        }
        TMemoryRef frame = NewFrame(job.OutputSize, [&](std::uint8_t* data) {
            std::memcpy(data, job.Output, job.OutputSize);
            return true;
        });
        if (!frame) {
            error = "out of memory";
            return {};
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

TMemoryRef MakeCorruptJpeg() {
    std::vector<std::uint8_t> bytes{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x0F};
    bytes.insert(bytes.end(), 64, 0x01);
    const std::array<std::uint8_t, 21> rest{0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x00,
                                            0x00, 0x00, 0x03, 0x01, 0x21, 0x0F, 0x02,
                                            0x11, 0x0F, 0x03, 0x11, 0x0F, 0xFF, 0xD9};
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return NewFrame(bytes.size(), [&](std::uint8_t* data) {
        std::memcpy(data, bytes.data(), bytes.size());
        return true;
    });
}

std::vector<TMemoryRef> LoadDvFrames(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        error = "cannot open " + path;
        return {};
    }
    const auto length = static_cast<std::size_t>(file.tellg());
    const std::size_t count = length / DvFrameSize;
    if (count == 0) {
        error = path + " holds no whole DV frame";
        return {};
    }
    file.seekg(0);
    TMemoryRef whole = NewFrame(count * DvFrameSize, [&](std::uint8_t* data) {
        return static_cast<bool>(file.read(reinterpret_cast<char*>(data),
                                           static_cast<std::streamsize>(count * DvFrameSize)));
    });
    if (!whole) {
        error = "cannot read " + path;
        return {};
    }
    // Each frame is a window on the one read, which it keeps alive.
    std::vector<TMemoryRef> frames;
    for (std::size_t i = 0; i < count; ++i)
        frames.emplace_back(gst_memory_share(whole.get(), static_cast<gssize>(i * DvFrameSize),
                                             static_cast<gssize>(DvFrameSize)));
    return frames;
}

} // namespace emucam
