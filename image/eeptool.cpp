// eeptool: tells a factory engineer what an image file holds, without a GUI.
//   eeptool check FILE   one line: the load result's text; exit status = -(load code)
//   eeptool show FILE    the identity, one field per line, and the descriptor chain

#include "EepromImage.h"

#include <cstdio>
#include <cstring>
#include <string>
#include "ProgramOptions.h"

namespace {

constexpr uint32_t kExpectedModel = CHIP_MODEL_QT7730;

void PrintUsage(std::FILE *to)
{
    std::fputs("Usage: eeptool check FILE\n"
               "       eeptool show FILE\n"
               "\n"
               "Inspects a QT7730 image file (.eep or .sdt, 264 bytes) as Quillon and Tamber load it.\n"
               "\n"
               "  check FILE  Loads FILE expecting a QT7730 image and prints the result on one line:\n"
               "              \"No error\" when the file is accepted, else the reason (\"File size\n"
               "              incorrect\", ...). The exit status is 0 when accepted and 1 to 8 (the\n"
               "              negated load code) otherwise.\n"
               "  show FILE   Prints the identity the file gives a cable, one field per line, and its\n"
               "              string-descriptor chain. A file that does not load is reported on\n"
               "              stderr, with the same exit status as check.\n"
               "  --help      Shows this text.\n",
               to);
}

std::string Hex(uint32_t value, int digits)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%0*X", digits, value);
    return buffer;
}

// Text of descriptor `index`, or a note saying why there is none.
std::string DescriptorText(const EepromImage &image, int index)
{
    char text[256];
    if (!image.GetString(index, text, sizeof text))
        return "(none)";
    return '"' + std::string(text) + '"';
}

const char *ChipName(uint32_t model)
{
    switch (model) {
    case CHIP_MODEL_QT7730: return " (QT7730)";
    case CHIP_MODEL_QT7701: return " (QT7701)";
    default: return "";
    }
}

int Show(const char *path)
{
    EepromImage image;
    const int code = image.LoadFile(path, kExpectedModel);
    if (code != EEP_OK) {
        std::fprintf(stderr, "eeptool: %s: %s\n", path, EepromImage::ErrorText(code));
        return -code;
    }
    const EepromRecord &r = image.m_rec;
    const uint32_t model = r.dwChipModel.get();
    std::printf("File:             %s\n", path);
    std::printf("Vendor ID:        %s\n", Hex(r.wVendorId.get(), 4).c_str());
    std::printf("Product ID 1:     %s\n", Hex(r.wProductId1.get(), 4).c_str());
    std::printf("Product ID 2:     %s\n", Hex(r.wProductId2.get(), 4).c_str());
    std::printf("Product ID 3:     %s\n", Hex(r.wProductId3.get(), 4).c_str());
    std::printf("Product ID 4:     %s\n", Hex(r.wProductId4.get(), 4).c_str());
    std::printf("PID select:       %u%s\n", r.bPidSelect,
                r.bPidSelect >= 1 && r.bPidSelect <= 3
                    ? (" (product ID " + std::to_string(r.bPidSelect) + ")").c_str()
                    : " (names no product-ID word)");
    std::printf("Revision:         %s\n", Hex(r.wRevision.get(), 4).c_str());
    std::printf("Self-powered:     %s\n", (r.bAttributes & EepromImage::kSelfPowered) ? "yes" : "no");
    std::printf("Serial index:     %u%s\n", r.bSerialIndex,
                r.bSerialIndex == EepromImage::kSerialInUse ? " (serial number in use)"
                : r.bSerialIndex == 0                       ? " (no serial number)"
                                                            : "");
    std::printf("Vendor text:      %s\n", DescriptorText(image, 1).c_str());
    std::printf("Product text:     %s\n", DescriptorText(image, 2).c_str());
    std::printf("Serial text:      %s\n", DescriptorText(image, 3).c_str());
    std::printf("Chip model:       %s%s\n", Hex(model, 4).c_str(), ChipName(model));
    std::printf("Chip version:     %s\n", Hex(r.dwChipVersion.get(), 4).c_str());
    std::printf("Blank:            %s\n", image.m_bBlank ? "yes" : "no");

    EepromImage::ChainEnd end{};
    const auto chain = image.Descriptors(&end);
    std::printf("Descriptor chain:\n");
    for (std::size_t i = 0; i < chain.size(); ++i)
        std::printf("  %zu: offset %zu, length %u, type %u%s\n", i, chain[i].offset, chain[i].length,
                    chain[i].type, chain[i].type == 3 ? "" : " (not a string descriptor)");
    switch (end) {
    case EepromImage::ChainEnd::ShortLength:
    case EepromImage::ChainEnd::AreaFull:
    case EepromImage::ChainEnd::Stopped:
        std::printf("  end of chain\n");
        break;
    case EepromImage::ChainEnd::PastArea: {
        const std::size_t at = chain.empty() ? EepromImage::kStringsBegin
                                             : chain.back().offset + chain.back().length;
        std::printf("  broken: the descriptor at offset %zu (length %u) runs past offset 254\n", at,
                    image.Bytes()[at]);
        break;
    }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (platform::AnswerVersion(argc, argv, "eeptool"))
        return 0;
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc != 3 || (std::strcmp(argv[1], "check") && std::strcmp(argv[1], "show"))) {
        std::fputs("eeptool: expected 'check FILE' or 'show FILE'\n\n", stderr);
        PrintUsage(stderr);
        return 64; // bad usage, apart from the load results 1..8
    }
    if (!std::strcmp(argv[1], "check")) {
        EepromImage image;
        const int code = image.LoadFile(argv[2], kExpectedModel);
        std::printf("%s\n", EepromImage::ErrorText(code));
        return -code;
    }
    return Show(argv[2]);
}
