// Reads arbitrary bytes as a GIF and reads every pixel of every frame, so
// that the sanitizers see any byte the decoder left unwritten.
#include <cstddef>
#include <cstdint>

#include "gif/gif_image.h"
#include "rtl/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    duvo::TGIFImage image;
    // Small enough that every frame a fuzz input may declare fits in memory.
    image.SetLimits({.pixels = std::uint64_t{1} << 22, .frames = 4096, .decodedBytes = std::uint64_t{1} << 26});
    image.SetOnWarning([](duvo::TPersistent* sender, std::uint8_t, const std::string&) {
        volatile const char* name = sender->ClassType()->name;
        (void)name;
    });
    try {
        duvo::TBytesStream stream(data, size);
        image.ReadFromStream(stream);
    } catch (const duvo::Exception&) {
    }
    volatile std::uint32_t sum = 0;
    for (int i = 0; i < image.Images().Count(); ++i) {
        const duvo::TGIFSubImage* frame = image.Images().Frame(i);
        const std::uint8_t* p = frame->Data();
        for (std::uint64_t k = 0; k < frame->DataSize(); ++k) sum = sum + p[k];
    }
    return 0;
}
