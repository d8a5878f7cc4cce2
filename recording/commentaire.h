#pragma once
// The operator's comment: its padded text and its 1024-byte field in the header record.
#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

constexpr int TAILLE_COMMENTAIRE = 1024;

// The comment as stored: line breaks written CR LF (one typed break is two characters),
// control characters other than tabs and line breaks turned into blanks, then blanks up to
// 1023 characters when the text is shorter; the bare text otherwise.
// Characters are counted as code points, i.e. as the bytes they take in the field.
QString commentaire_complete(const QString &texte);

// Characters the text takes once stored as above, before the padding: one per code point,
// two per line break (CR LF, LF, CR, or a line or paragraph separator).
qsizetype longueur_stockee(QStringView texte);

// Windows-1252, one byte per code point: ASCII and U+00A0..U+00FF map to themselves, the
// typographic characters of 0x80..0x9F to their codes, anything else to '?'.
QByteArray vers_cp1252(const QString &texte);

// The 1024-byte comment field of the header record for a comment as built by
// commentaire_complete: its code-page form followed by a zero byte, cut to 1024 bytes.
std::array<uint8_t, TAILLE_COMMENTAIRE> champ_commentaire(const QString &commentaire);
