// The settings file: Config::load over the defaults, then every reader the
// daemon has, including the DVB decoder's cap on display time.

#include <string>

#include "config/config.h"
#include "dvbsub/dvb_subtitle.h"
#include "fuzz_support.h"

namespace {
const char* const kKeys[] = {
    "SubtileType",  "Language",       "SecondaryLanguage", "RecDelay",        "StartYPos",
    "WideStartYPos", "StartXPos",     "CenterText",        "TextColor",       "OutlineColor",
    "BackgroundColor", "UseBackground", "Font",            "FontSize",        "WideFontSize",
    "RowSpace",     "WideRowSpace",   "UseDVBFirst",       "UseExternalChannels", "ExtraYSize",
    "WideExtraYSize", "OSDMessages",  "OutlineSize",       "DVBMaxShowTime",  "",
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  const std::string path = fuzz::Scratch().File("zuva.conf");
  fuzz::WriteFile(path, data, size);

  Config config;
  FUZZ_CHECK(config.load(path));
  for (const char* key : kKeys) {
    int number = 12345;
    std::string text = "unset";
    uint32_t hex = 0xDEADBEEF;
    const int a = config.getValue(key, number);
    const int b = config.getValue(key, text);
    const int c = config.getValueHex(key, hex);
    FUZZ_CHECK(a == b && b == c && (a == 1 || a == -1));
    if (a == -1) FUZZ_CHECK(number == 12345 && text == "unset" && hex == 0xDEADBEEF);
  }
  // The 21 defaults survive any file: entries are never removed.
  std::string font;
  FUZZ_CHECK(config.getValue("Font", font) == 1);

  DVBSubtitle dvb;
  dvb.config = &config;
  dvb.configure();
  FUZZ_CHECK(dvb.context.maxShowTime >= 0);
  dvb.stop();
  return 0;
}
