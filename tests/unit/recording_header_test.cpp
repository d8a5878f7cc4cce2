#include <gtest/gtest.h>

#include "recording/header_record.h"
#include "tests/unit/recording_exemple.h"

#include <vector>

namespace {
std::vector<uint8_t> octets(const std::array<uint8_t, TAILLE_HEADER> &b, int de, int a)
{
    return std::vector<uint8_t>(b.begin() + de, b.begin() + a);
}
} // namespace

TEST(RecordingHeader, ExampleRunImage)
{
    const auto b = serialise(exemple_run());
    ASSERT_EQ(b.size(), 2097u);
    EXPECT_EQ(octets(b, 0, 16), (std::vector<uint8_t>{0xE6, 0x07, 0x0C, 0x00, 0x03, 0x00, 0x07, 0x00,
                                                      0x0E, 0x00, 0x05, 0x00, 0x09, 0x00, 0xFA, 0x00}));
    EXPECT_EQ(octets(b, 16, 32), std::vector<uint8_t>(16, 0x01));
    EXPECT_EQ(octets(b, 32, 1056), std::vector<uint8_t>(1024, 0x00));
    EXPECT_EQ(octets(b, 1056, 1060), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(octets(b, 1060, 1073), (std::vector<uint8_t>{0x00, 0x50, 0x43, 0x47, 0x90, 0xD0, 0x03, 0x00,
                                                          0x00, 0x00, 0xA0, 0x40, 0x01}));
    EXPECT_EQ(octets(b, 1073, 2097), std::vector<uint8_t>(1024, ' '));
}

// Every byte of the record at its own offset: a distinct value per field element, through
// the file image and back.
TEST(RecordingHeader, EveryFieldAtItsOffsetAndBack)
{
    type_header_file h;
    h.date_heure = {0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C, 0x0D0E, 0xF00F};
    for (int b = 0; b < 128; ++b)
        for (int m = 0; m < 8; ++m)
            h.micros_actifs[b][m] = static_cast<int8_t>(b * 8 + m);
    for (int n = 0; n < 4; ++n)
        for (int k = 0; k < 4; ++k)
            h.va_actives[n][k] = static_cast<int8_t>(-1 - 4 * n - k);
    for (int k = 0; k < 4; ++k)
        h.compteurs_actifs[k] = static_cast<int8_t>(0x60 + k);
    h.freq = 41666.0f;
    h.nb_ech = 0xA1B2C3D4;
    h.duree_acquise = -1.5f;
    h.type_float = 0xEE;
    for (int i = 0; i < 1024; ++i)
        h.texte_commentaire[i] = static_cast<uint8_t>(255 - i % 256);

    const auto b = serialise(h);
    EXPECT_EQ(b[2], 0x04);
    EXPECT_EQ(b[3], 0x03);
    EXPECT_EQ(b[14], 0x0F);
    EXPECT_EQ(b[15], 0xF0);
    EXPECT_EQ(b[16 + 8 * 5 + 3], 43);
    EXPECT_EQ(b[1039], static_cast<uint8_t>(1023));
    EXPECT_EQ(b[1040 + 4 * 2 + 1], static_cast<uint8_t>(-10));
    EXPECT_EQ(b[1059], 0x63);
    EXPECT_EQ(octets(b, 1060, 1064), (std::vector<uint8_t>{0x00, 0xC2, 0x22, 0x47})); // 41666.0f
    EXPECT_EQ(octets(b, 1064, 1068), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(octets(b, 1068, 1072), (std::vector<uint8_t>{0x00, 0x00, 0xC0, 0xBF})); // -1.5f
    EXPECT_EQ(b[1072], 0xEE);
    EXPECT_EQ(b[1073], 255);
    EXPECT_EQ(b[2096], static_cast<uint8_t>(255 - 1023 % 256));

    const type_header_file r = deserialise(b);
    EXPECT_EQ(serialise(r), b);
    EXPECT_EQ(r.date_heure.wMilliseconds, 0xF00F);
    EXPECT_EQ(r.va_actives[3][3], -16);
    EXPECT_EQ(r.freq, 41666.0f);
    EXPECT_EQ(r.nb_ech, 0xA1B2C3D4u);
    EXPECT_EQ(r.duree_acquise, -1.5f);
    EXPECT_EQ(r.type_float, 0xEE);
}

// Totals from the bytes written: whole frames, the duration from them, and a count that
// saturates instead of wrapping.
TEST(RecordingHeader, TotalsFromTheBytesWritten)
{
    struct Cas {
        uint64_t octets;
        int32_t nb_voies;
        uint32_t nb_ech;
        float duree;
    };
    for (const Cas &c : {Cas{257000000, 257, 250000, 5.0f}, Cas{257000000 + 1027, 257, 250000, 5.0f},
                         Cas{(uint64_t(UINT32_MAX) + 5) * 4 * 3, 3, UINT32_MAX, float(UINT32_MAX) / 50000.0f},
                         Cas{1000, 0, 0, 0.0f}}) {
        type_header_file h;
        fixe_totaux(h, c.octets, c.nb_voies, 50000.0f);
        EXPECT_EQ(h.nb_ech, c.nb_ech) << c.octets;
        EXPECT_EQ(h.duree_acquise, c.duree) << c.octets;
    }
}
