#include "engine/Languages.h"

#include <iterator>

namespace {

// Macintosh language codes 0 to 94 and 128 to 150, as ISO 639-2/T.
constexpr const char *kMacLanguages[] = {
    "eng", "fra", "deu", "ita", "nld", "swe", "spa", "dan", "por", "nor", "heb", "jpn", "ara", "fin", "ell", "isl",
    "mlt", "tur", "hrv", "zho", "urd", "hin", "tha", "kor", "lit", "pol", "hun", "est", "lav", "sme", "fao", "fas",
    "rus", "zho", "nld", "gle", "sqi", "ron", "ces", "slk", "slv", "yid", "srp", "mkd", "bul", "ukr", "bel", "uzb",
    "kaz", "aze", "aze", "hye", "kat", "ron", "kir", "tgk", "tuk", "mon", "mon", "pus", "kur", "kas", "snd", "bod",
    "nep", "san", "mar", "ben", "asm", "guj", "pan", "ori", "mal", "kan", "tam", "tel", "sin", "mya", "khm", "lao",
    "vie", "ind", "tgl", "msa", "msa", "amh", "tir", "orm", "som", "swa", "kin", "run", "nya", "mlg", "epo"};
constexpr const char *kMacLanguages128[] = {"cym", "eus", "cat", "lat", "que", "grn", "aym", "tat",
                                            "uig", "dzo", "jav", "sun", "glg", "afr", "bre", "iku",
                                            "gla", "glv", "gle", "ton", "ell", "kal", "aze"};

struct Language {
  const char *terminological;
  const char *bibliographic;  // the same where the two agree
  DWORD lcid;
  const char *name;
};

// The languages a stream menu is likely to meet.
constexpr Language kLanguages[] = {
    {"ara", "ara", 0x0401, "Arabic"},     {"bul", "bul", 0x0402, "Bulgarian"},  {"cat", "cat", 0x0403, "Catalan"},
    {"zho", "chi", 0x0804, "Chinese"},    {"ces", "cze", 0x0405, "Czech"},      {"dan", "dan", 0x0406, "Danish"},
    {"deu", "ger", 0x0407, "German"},     {"ell", "gre", 0x0408, "Greek"},      {"eng", "eng", 0x0409, "English"},
    {"spa", "spa", 0x0C0A, "Spanish"},    {"fin", "fin", 0x040B, "Finnish"},    {"fra", "fre", 0x040C, "French"},
    {"heb", "heb", 0x040D, "Hebrew"},     {"hun", "hun", 0x040E, "Hungarian"},  {"isl", "ice", 0x040F, "Icelandic"},
    {"ita", "ita", 0x0410, "Italian"},    {"jpn", "jpn", 0x0411, "Japanese"},   {"kor", "kor", 0x0412, "Korean"},
    {"nld", "dut", 0x0413, "Dutch"},      {"nor", "nor", 0x0414, "Norwegian"},  {"pol", "pol", 0x0415, "Polish"},
    {"por", "por", 0x0816, "Portuguese"}, {"ron", "rum", 0x0418, "Romanian"},   {"rus", "rus", 0x0419, "Russian"},
    {"hrv", "hrv", 0x041A, "Croatian"},   {"slk", "slo", 0x041B, "Slovak"},     {"sqi", "alb", 0x041C, "Albanian"},
    {"swe", "swe", 0x041D, "Swedish"},    {"tha", "tha", 0x041E, "Thai"},       {"tur", "tur", 0x041F, "Turkish"},
    {"urd", "urd", 0x0420, "Urdu"},       {"ind", "ind", 0x0421, "Indonesian"}, {"ukr", "ukr", 0x0422, "Ukrainian"},
    {"bel", "bel", 0x0423, "Belarusian"}, {"slv", "slv", 0x0424, "Slovenian"},  {"est", "est", 0x0425, "Estonian"},
    {"lav", "lav", 0x0426, "Latvian"},    {"lit", "lit", 0x0427, "Lithuanian"}, {"fas", "per", 0x0429, "Persian"},
    {"vie", "vie", 0x042A, "Vietnamese"}, {"hye", "arm", 0x042B, "Armenian"},   {"eus", "baq", 0x042D, "Basque"},
    {"mkd", "mac", 0x042F, "Macedonian"}, {"afr", "afr", 0x0436, "Afrikaans"},  {"kat", "geo", 0x0437, "Georgian"},
    {"hin", "hin", 0x0439, "Hindi"},      {"msa", "may", 0x043E, "Malay"},      {"kaz", "kaz", 0x043F, "Kazakh"},
    {"swa", "swa", 0x0441, "Swahili"},    {"ben", "ben", 0x0445, "Bengali"},    {"tam", "tam", 0x0449, "Tamil"},
    {"tel", "tel", 0x044A, "Telugu"},     {"glg", "glg", 0x0456, "Galician"},   {"cym", "wel", 0x0452, "Welsh"},
    {"srp", "srp", 0x0C1A, "Serbian"},    {"lat", "lat", 0x0000, "Latin"},      {"epo", "epo", 0x0000, "Esperanto"},
};

const Language *Find(const std::string &code) {
  for (const Language &l : kLanguages) {
    if (code == l.terminological || code == l.bibliographic) return &l;
  }
  return nullptr;
}

}  // namespace

std::string LanguageFromMediaCode(int code) {
  const unsigned value = static_cast<unsigned>(code) & 0xFFFF;
  if (value < 0x400) {
    if (value < std::size(kMacLanguages)) return kMacLanguages[value];
    if (value >= 128 && value - 128 < std::size(kMacLanguages128)) return kMacLanguages128[value - 128];
    return "und";
  }
  if (value == 0x7FFF) return "und";
  std::string letters;
  for (int shift = 10; shift >= 0; shift -= 5) {
    const unsigned c = (value >> shift) & 0x1F;
    if (c < 1 || c > 26) return "und";
    letters.push_back(static_cast<char>('a' + c - 1));
  }
  // A bibliographic code stored where the terminological one belongs.
  if (const Language *l = Find(letters)) return l->terminological;
  return letters;
}

DWORD LcidFromLanguage(const std::string &iso639) {
  const Language *l = Find(iso639);
  return l ? l->lcid : 0;
}

std::string LanguageFromLcid(DWORD lcid) {
  for (const Language &l : kLanguages) {
    if (lcid != 0 && l.lcid == lcid) return l.terminological;
  }
  return "und";
}

std::string LanguageName(const std::string &iso639) {
  if (iso639.empty() || iso639 == "und") return "Unknown";
  const Language *l = Find(iso639);
  return l ? l->name : iso639;
}
