#include "update/signature.h"

#include <gtest/gtest.h>

namespace {

// Made with another ECDSA implementation (Python's cryptography), so both ends of the format
// are checked against the standard, not against our own signer.
const std::string kData = "{\"latest_version\": \"1.0.0\"}\n";
const std::string kKey =
    "0c9357686bb89c167b65d05a75dc0323f75f284dda2f34526d304151eea6a45f"
    "72c3b906f3ee4faee1788c88b8ed1751195b8b9cd705886213e439fec715ae3f";
const std::string kSignature =
    "dba75aa19f36f4b6c428c2123cc16d9f59a7f81ca3210aae6d55e68e359797ff"
    "87b0c68a3fc3cf9135bdcf946d5ae9686757200a9d05cde04cabd59c4108a348";

std::string FlipHexDigit(std::string text, size_t at) {
    text[at] = text[at] == '0' ? '1' : '0';
    return text;
}

TEST(VerifySignature, AcceptsOnlyTheExactBytesSignedByTheKey) {
    const std::string otherKey =
        "11f24895e5a8061a943b4f2c629ddd4bbde810102a01c655d5d10ba0433ee4f8"
        "dfe848fe1af3a793f7277f0ce9ae876d27ddd6d1a1992feb701ea072d11bb6c6";
    struct Case {
        const char* what;
        std::string data, signature, key;
        bool valid;
    } cases[] = {
        {"as signed", kData, kSignature, kKey, true},
        {"with its line end", kData, kSignature + "\n", kKey, true},
        {"with a CR LF line end", kData, kSignature + "\r\n", kKey, true},
        {"upper-case digits", kData, "DBA75AA19F36F4B6" + kSignature.substr(16), kKey, true},
        {"one byte of the data changed", "{\"latest_version\": \"1.0.1\"}\n", kSignature, kKey,
         false},
        {"data cut short", kData.substr(0, kData.size() - 1), kSignature, kKey, false},
        {"r changed", kData, FlipHexDigit(kSignature, 5), kKey, false},
        {"s changed", kData, FlipHexDigit(kSignature, 100), kKey, false},
        {"another key", kData, kSignature, otherKey, false},
        {"key point changed", kData, kSignature, FlipHexDigit(kKey, 127), false},
        {"no signature", kData, "", kKey, false},
        {"an error page", kData, "<html>404 Not Found</html>", kKey, false},
        {"a digit short", kData, kSignature.substr(1), kKey, false},
        {"a digit too many", kData, kSignature + "0", kKey, false},
        {"text after it", kData, kSignature + "\n\n", kKey, false},
        {"a key a digit short", kData, kSignature, kKey.substr(1), false},
        {"no key", kData, kSignature, "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VerifySignature(c.data, c.signature, c.key), c.valid) << c.what;
    }
}

}  // namespace
