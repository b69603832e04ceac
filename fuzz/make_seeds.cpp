// Writes the seed corpora of the fuzz targets: synthetic inputs built with
// the stream encoders, the example files of data/, and pieces of a real
// recording when one is given.
//
//   fuzz_seeds OUTDIR [RECORDING.ts]
//
// Each target's seeds go to OUTDIR/<target>/. Running it again rewrites the
// same files, so the committed corpus can be regenerated.

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/section_assembler.h"
#include "sim/ts_recording.h"
#include "support/bytes.h"
#include "tsgen/dvbsub_encoder.h"
#include "tsgen/pes.h"
#include "tsgen/teletext_encoder.h"
#include "tsgen/ts.h"
#include "tsgen/psi.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::string g_out;

void MakeDir(const std::string& path) { mkdir(path.c_str(), 0755); }

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  MakeDir(g_out + "/" + target);
  const std::string path = g_out + "/" + target + "/" + name;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) std::fprintf(stderr, "cannot write %s\n", path.c_str());
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

Bytes U16(int v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// A scripted reply of the scan target: length, bytes.
Bytes Reply(const Bytes& section) { return Cat({U16(static_cast<int>(section.size())), section}); }

// --- text files ---------------------------------------------------------------

void StatusSeeds() {
  Write("status", "plain", Text("300\n101\n102\n103\n2\n0\n100\n"));
  Write("status", "no-pmt", Text("4006\n-1\n-1\n1068\n13\n1\n-1\n"));
  Write("status", "hex-and-junk", Text("0x1F4\n  +12abc\n-0\n\n9\nx\n160\nextra\n"));
  Write("status", "crlf-short", Text("300\r\n101\r\n102\r\n"));
}

void SettingsSeeds() {
  Write("settings", "example", ReadFile(ZUVA_SOURCE_DIR "/data/zuva.conf.example"));
  Write("settings", "edge",
        Text("Language ger\nSecondaryLanguage  eng\nFontSize -2147483649\nTextColor 0xFFx\n"
             "DVBMaxShowTime -5\nOSDMessages 1\r\nnoblank\n ValueOnly\n;c\n#c\n\nOutlineSize 99\n"));
}

void ChannelsSeeds() {
  Bytes example = ReadFile(ZUVA_SOURCE_DIR "/data/zuva.channels.example");
  Write("channels", "example", Cat({{1, ' '}, example}));
  Write("channels", "entries",
        Cat({{1, ' '}, Text("12c 22b 888 swe SVT 1\n12c  22b 888 swe\n0x12C 0X22B 0x888 swe\n"
                            "12c 22b 888 swe\r\n zz\n#12c 1 2 swe\n;x\nabc\n")}));
  Write("channels", "two-char-delimiter", Cat({{2, 'a', 'a'}, Text("aaaab aa  aaa\n")}));
}

void TranslationSeeds() {
  Bytes table = ReadFile(ZUVA_SOURCE_DIR "/data/zuva.translation");
  Write("translation", "fre", Cat({{3, 'f', 'r', 'e'}, table}));
  Write("translation", "eng", Cat({{3, 'e', 'n', 'g'}, table}));
  Write("translation", "edge",
        Cat({{2, 'e', 'n'},
             Text("BeginTable:ger\n#:1\nEndTable\nBeginTable:enm eng\r\n::5\nae:-7\n"
                  "#:0x23\n\xff:2147483648\nEndTable\r\nBeginTable:eng\n$:36")}));
}

// --- PAT and PMT --------------------------------------------------------------

void PsiSeeds() {
  using namespace tsgen;
  const Bytes pat = BuildPAT(1, {{0, 0x10}, {300, 0x100}, {301, 0x101}});
  const Bytes ttx = TeletextDescriptor(
      {{"DEU", 2, 0x150}, {"deu", 5, 0x777}, {"fra", 2, 0x888}, {"eng", 1, 0x100}});
  const Bytes sub = SubtitlingDescriptor({{"ENG", 0x10, 1, 2}, {"swe", 0x20, 3, 4}});
  const Bytes pmt = BuildPMT(300, 0x200, Descriptor(0x09, {1, 2, 3, 4}),
                             {{0x02, 0x201, {}},
                              {0x06, 0x202, Cat({ttx, Descriptor(0x52, {1})})},
                              {0x06, 0x203, sub},
                              {0x03, 0x204, ttx}});
  const Bytes pmt2 = BuildPMT(301, 0x1FFF, {}, {{0x06, 0x300, TeletextDescriptor({{"esp", 2, 0x058}})}});
  Write("psi", "two-programs", Cat({U16(300), U16(0x101), Reply(pat), Reply(pmt), Reply(pmt2)}));
  Write("psi", "pmt-timeout", Cat({U16(300), U16(0x100), Reply(pat), {0xFF, 0xFF}}));
  Bytes cut = pmt;
  cut.resize(pmt.size() / 2);
  Write("psi", "short-pmt", Cat({U16(300), U16(0x100), Reply(pat), Reply(cut)}));
}

// --- DVB subtitles ------------------------------------------------------------

void DvbSeeds() {
  using namespace tsgen::dvbsub;
  std::vector<uint8_t> codes(40 * 6);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>((i / 3) % 4);
  const uint8_t map[4] = {0, 1, 2, 3};
  const uint8_t map16[16] = {};

  PageComposition page;
  page.timeOut = 5;
  page.version = 1;
  page.regions = {{1, 100, 400}, {2, 100, 470}, {9, 721, 0}};
  RegionComposition r1;
  r1.regionId = 1;
  r1.width = 500;
  r1.height = 60;
  r1.fill = true;
  r1.code4 = 3;
  r1.objects = {{7, 0, 0, 10, 5}, {8, 1, 0, 600, 0, 1, 2}};
  RegionComposition r2 = r1;
  r2.regionId = 2;
  r2.height = 40;
  r2.depth = 3;
  r2.clutId = 4;
  r2.objects = {{7, 0, 0, 0, 0}};
  ClutDefinition clut;
  clut.entries = {{1, false, true, false, true, 235, 128, 128, 0},
                  {2, true, false, false, false, 128, 64, 200, 0x80},
                  {20, false, false, true, true, 16, 128, 128, 0}};
  ObjectData object2 = ObjectFromBitmap(7, codes, 40, 6, 2);
  ObjectData object4 = ObjectFromBitmap(8, codes, 40, 6, 4);
  ObjectData object8 = ObjectFromBitmap(7, codes, 40, 6, 8, 1);
  const Bytes table2 = MapTable2to4(map);
  const Bytes table8 = MapTable4to8(map16);
  object2.top.insert(object2.top.begin(), table2.begin(), table2.end());
  object8.top.insert(object8.top.begin(), table8.begin(), table8.end());

  const Bytes first = DisplaySet(1)
                          .Page(page)
                          .Region(r1)
                          .Region(r2)
                          .Clut(clut)
                          .Object(object2)
                          .Object(object4)
                          .End()
                          .Packet(90000);
  PageComposition update = page;
  update.version = 2;
  update.state = kNormalCase;
  const Bytes second = DisplaySet(1).Page(update).Object(object8).End().Packet(180000, false);
  const Bytes junk = DisplaySet(1).Raw({0x0F, 0x14, 0, 1, 0, 2, 9, 9}).Raw({0x42}).Packet(-1);
  Write("dvbsub", "display-set-32bpp", Cat({{0x0A}, first}));
  Write("dvbsub", "two-sets-8bpp", Cat({{0x0B}, first, second}));
  Write("dvbsub", "unhandled-segment", Cat({{0x00}, junk, first}));
  Write("pes", "dvb-small-chunks", Cat({{0x01}, first, junk, second}));
}

// --- teletext and the PES stream --------------------------------------------------

Bytes TeletextPrefix(int page, uint8_t flags, const std::string& settings) {
  return Cat({U16(page), {flags, static_cast<uint8_t>(settings.size())}, Text(settings)});
}

void TeletextSeeds() {
  using namespace tsgen;
  std::vector<TeletextUnit> units = EncodePage(SubtitlePage(0x888, {"Hello", "<there> {}|"}));
  const std::vector<TeletextUnit> next = EncodePage(SubtitlePage(0x889, {"x"}));
  units.insert(units.end(), next.begin(), next.end());
  TeletextPage rows = SubtitlePage(0x888, {"top"});
  rows.header.erase = false;
  rows.rows.push_back({23, SubtitleRowText("bottom row")});
  rows.rows.push_back({24, "ignored"});
  rows.rows.push_back({1, SubtitleRowText("row one")});
  const std::vector<TeletextUnit> more = EncodePage(rows, kTeletextNonSubtitleUnit);
  units.insert(units.end(), more.begin(), more.end());
  TeletextUnit damaged = EncodeRowUnit(8, 22, SubtitleRowText("damaged"));
  InjectBitErrors(damaged, 4, 0x03);
  units.push_back(damaged);
  units.push_back(EncodeHeaderUnit(TeletextHeader{}));
  const Bytes stream = Cat(PackTeletextPES(units, 90000, 7));

  Write("teletext", "defaults", Cat({TeletextPrefix(0x888, 0, ""), stream}));
  Write("teletext", "wide-8bpp",
        Cat({TeletextPrefix(0x888, 3, "WideFontSize 60\nWideRowSpace -9\nWideStartYPos 80\n"
                                      "WideExtraYSize 31\nOutlineSize 1\nCenterText 0\n"
                                      "StartXPos 600\nUseBackground 1"),
             stream}));
  Write("teletext", "odd-layout",
        Cat({TeletextPrefix(0x888, 0, "FontSize 119\nRowSpace 40\nStartYPos -380\nExtraYSize -7\n"
                                      "OutlineSize 30\nUseBackground 0\nTextColor 00000000"),
             stream}));
  // Teletext on the PES stream too, with bytes that are no start code around it.
  Write("pes", "teletext-chunks", Cat({{0x03}, {0x12, 0x00, 0x00, 0x01, 0xC0, 0x00}, stream}));
  Write("pes", "teletext-whole", Cat({{0x00}, stream, {0x00, 0x00, 0x01, 0xBD, 0x00, 0x00, 0x01}}));
}

// --- recordings ----------------------------------------------------------------

// Short recordings with a clock: PCRs every fifth packet with a flagged jump
// and a wild value, a stream with only PTS, and 192-byte packets among junk.
void RecordingFileSeeds() {
  Bytes pcr;
  uint8_t cc = 0;
  const Bytes filler(184, 0xFF);
  for (int i = 0; i < 60; ++i) {
    if (i % 5 != 0) {
      tsgen::AppendPacket(pcr, 0x1FFF, false, cc, -1, filler.data(), filler.size());
      continue;
    }
    int64_t value = i * 900;
    if (i >= 30) value += 3600 * 90000;
    if (i == 45) value = (int64_t{1} << 33) - 1;
    tsgen::AppendPacket(pcr, 0x100, false, cc, value, nullptr, 0);
    if (i == 30) pcr[pcr.size() - 188 + 5] |= 0x80;
  }
  Write("recording", "pcr-jump-and-outlier", pcr);
  Bytes pts;
  cc = 0;
  for (int i = 0; i < 20; ++i) {
    Bytes pes = {0x00, 0x00, 0x01, 0xBD, 0x00, 0x09, 0x80, 0x80, 0x05};
    Bytes stamp(5);
    tsgen::WritePTS(stamp.data(), 90000 + i * 3600);
    pes.insert(pes.end(), stamp.begin(), stamp.end());
    pes.push_back(0x10);
    const Bytes packets = tsgen::PacketizePES(0x42C, pes, cc);
    pts.insert(pts.end(), packets.begin(), packets.end());
  }
  Write("recording", "pts-only", pts);
  Bytes junk = {0x47, 0x00, 0x12};
  for (size_t at = 0; at + 188 <= pcr.size() && at < 20 * 188; at += 188) {
    junk.insert(junk.end(), {0x00, 0x00, 0x00, 0x00});  // a 192-byte packet's time code
    junk.insert(junk.end(), pcr.begin() + static_cast<long>(at), pcr.begin() + static_cast<long>(at + 188));
  }
  Write("recording", "192-byte-packets", junk);
}

// --- pieces of a real recording --------------------------------------------------

void RecordingSeeds(const std::string& path) {
  TSRecording rec;
  std::string error;
  if (!rec.Load(path, &error)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return;
  }
  SectionAssembler patAsm;
  Bytes pat;
  rec.Visit(0, [&](size_t, const uint8_t* packet) {
    if (PacketPid(packet) != 0) return true;
    patAsm.Push(packet, [&](const uint8_t* s, size_t n) {
      if (pat.empty()) pat.assign(s, s + n);
    });
    return pat.empty();
  });
  if (pat.size() < 12) return;
  // The programs of the PAT, then each program's PMT.
  Bytes replies = Reply(pat);
  int serviceId = 0, pmtPid = 0;
  const int length = ((pat[1] & 0x0F) << 8) | pat[2];
  for (int offset = 8; offset + 4 <= length - 1 && offset + 4 <= static_cast<int>(pat.size());
       offset += 4) {
    const int program = (pat[offset] << 8) | pat[offset + 1];
    const int pid = ((pat[offset + 2] << 8) | pat[offset + 3]) & 0x1FFF;
    if (program == 0) continue;
    SectionAssembler pmtAsm;
    Bytes pmt;
    rec.Visit(0, [&](size_t, const uint8_t* packet) {
      if (PacketPid(packet) != pid) return true;
      pmtAsm.Push(packet, [&](const uint8_t* s, size_t n) {
        if (pmt.empty() && n > 0 && s[0] == 0x02) pmt.assign(s, s + n);
      });
      return pmt.empty();
    });
    if (pmt.empty()) continue;
    serviceId = program;
    pmtPid = pid;
    replies = Cat({replies, Reply(pmt)});
  }
  Write("psi", "recording", Cat({U16(serviceId), U16(pmtPid), replies}));

  // The PES packets of the teletext stream (the PID whose packets start PES
  // packets of stream 0xBD).
  std::map<uint16_t, std::vector<Bytes>> pes;
  std::map<uint16_t, Bytes> partial;
  rec.Visit(0, [&](size_t, const uint8_t* packet) {
    size_t offset = 0, size = 0;
    if (!PacketPayload(packet, &offset, &size)) return true;
    const uint16_t pid = PacketPid(packet);
    Bytes& current = partial[pid];
    if ((packet[1] & 0x40) != 0) {
      if (current.size() >= 4 && current[3] == 0xBD) pes[pid].push_back(current);
      current.clear();
    }
    current.insert(current.end(), packet + offset, packet + offset + size);
    return true;
  });
  for (auto& [pid, packets] : pes) {
    if (packets.size() < 60) continue;
    // A stretch at the start, one in the middle, one near the end.
    const size_t starts[] = {0, packets.size() / 2, packets.size() - 40};
    int k = 0;
    for (size_t start : starts) {
      Bytes stream;
      for (size_t j = start; j < start + 24 && j < packets.size(); ++j) {
        // Only whole packets, as the filter hands them over.
        Bytes p = packets[j];
        const size_t whole = 6 + ((static_cast<size_t>(p[4]) << 8) | p[5]);
        if (p.size() < whole) continue;
        p.resize(whole);
        stream.insert(stream.end(), p.begin(), p.end());
      }
      const std::string name = "recording-" + std::to_string(k++);
      Write("teletext", name, Cat({TeletextPrefix(0x889, 0, ""), stream}));
      if (k == 1) Write("pes", name, Cat({{0x05}, stream}));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [RECORDING.ts]\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  MakeDir(g_out);
  StatusSeeds();
  SettingsSeeds();
  ChannelsSeeds();
  TranslationSeeds();
  PsiSeeds();
  DvbSeeds();
  TeletextSeeds();
  RecordingFileSeeds();
  if (argc > 2) RecordingSeeds(argv[2]);
  return 0;
}
