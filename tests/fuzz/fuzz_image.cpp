// Loads arbitrary bytes as an image file, then runs every property and string operation on whatever
// loaded. Nothing may read or write outside the 264 bytes, whatever the file holds.

#include "EepromImage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

const std::string &ScratchFile()
{
    static const std::string path = [] {
        char name[] = "/tmp/fuzz-image-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        std::atexit([] { std::remove(ScratchFile().c_str()); });
        return std::string(name);
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte steers the expected model and the texts written later; the rest is the file.
    const uint8_t steer = size ? data[0] : 0;
    const uint8_t *file = size ? data + 1 : data;
    const size_t fileSize = size ? size - 1 : 0;

    if (std::FILE *f = std::fopen(ScratchFile().c_str(), "wb")) {
        if (fileSize)
            std::fwrite(file, 1, fileSize, f);
        std::fclose(f);
    }
    EepromImage image;
    const uint32_t expected = (steer & 1) ? CHIP_MODEL_QT7701 : CHIP_MODEL_QT7730;
    const int code = (steer & 2) ? image.LoadFileOrRestore(ScratchFile(), expected)
                                 : image.LoadFile(ScratchFile(), expected);
    if (std::strlen(EepromImage::ErrorText(code)) == 0)
        __builtin_trap();
    // Whatever was loaded, also try the raw bytes as the image so damaged chains get exercised.
    if (code != EEP_OK)
        image.LoadBytes(file, fileSize, expected);

    uint8_t out[260];
    for (int id = -1; id <= 19; ++id)
        for (uint16_t capacity : {uint16_t(0), uint16_t(1), uint16_t(2), uint16_t(4), uint16_t(17),
                                  uint16_t(sizeof out)}) {
            std::memset(out, 0, sizeof out);
            image.GetProperty(id, out, capacity);
        }
    for (int index = -1; index <= 5; ++index)
        image.GetString(index, reinterpret_cast<char *>(out), sizeof out);
    (void)image.Descriptors();

    char text[300];
    for (size_t i = 0; i < sizeof text; ++i)
        text[i] = static_cast<char>(fileSize ? file[i % fileSize] : 'a');
    const uint16_t counts[] = {0, 1, uint16_t(steer % 128), 108, 126, 127, uint16_t(sizeof text / 2)};
    for (int id = 13; id <= 18; ++id)
        for (uint16_t count : counts)
            image.SetProperty(id, text, count);
    for (int index = -1; index <= 4; ++index)
        image.SetString(index, text, counts[(steer >> 2) % 7]);

    uint16_t word = steer;
    for (int id = 0; id <= 19; ++id)
        for (uint16_t size : {uint16_t(1), uint16_t(2), uint16_t(4)})
            if (id < 15)
                image.SetProperty(id, &word, size > 2 ? 2 : size);
    return 0;
}
