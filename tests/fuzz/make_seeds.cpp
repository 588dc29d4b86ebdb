// Writes the hand-made seed archives for the reader's fuzzer: make_seeds DIR
// The forms that Info-ZIP does not write on demand, from the tests' own archive builder.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/zip_builder.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string text = "a few words, a few words, a few words\n";
    ZipBuilderEntry plain{"dir/plain.txt", text};
    ZipBuilderEntry descriptor{"d.txt", text};
    descriptor.descriptor = true;
    ZipBuilderEntry bare = descriptor;
    bare.descriptorSignature = false;
    ZipBuilderEntry zip64{"z.txt", text};
    zip64.zip64 = true;
    ZipBuilderEntry zip64Descriptor = zip64;
    zip64Descriptor.descriptor = true;
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"empty.zip", BuildZip({})},
        {"stored.zip", BuildZip({{"s", text, 0}, {"dir/", "", 0}})},
        {"descriptors.zip", BuildZip({descriptor, bare})},
        {"zip64.zip", BuildZip({zip64, zip64Descriptor}, {"", "", true})},
        {"prefix.zip", BuildZip({plain}, {"MZ stub", "comment"})},
        {"prefix64.zip", BuildZip({zip64}, {"MZ stub", "", true})},
        {"encrypted.zip", BuildZip({{"e", text, 0, 1}, {"b", text, 12}})},
    };
    for (const auto& [name, bytes] : seeds) {
        const std::string path = std::string(argv[1]) + "/" + name;
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) return 1;
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    return 0;
}
