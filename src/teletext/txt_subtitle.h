#pragma once

#include <cstdint>
#include <string>

#include "common/subtitle.h"

class Config;
class FrameBuffer;

// Decodes the teletext subtitle page of one stream and draws its rows.
//
// The reader thread feeds processPES; configure and stop run on the main
// thread while no reader thread exists, so the decoder state needs no lock.
// Drawing takes the FrameBuffer's lock for each sequence.
class TXTSubtitle : public Subtitle {
 public:
  static constexpr int kRows = 23;      // teletext rows 1..23 kept per page
  static constexpr int kColumns = 40;   // characters per row
  static constexpr int kUnitSize = 46;  // one data unit in the PES payload
  static constexpr int kScreenWidth = 720;
  static constexpr int kScreenHeight = 576;

  TXTSubtitle();
  uint32_t processPES(const PESPacket& packet) override;
  uint32_t clear(const int64_t& stc) override;
  ~TXTSubtitle() override;

  void configure(int page);
  int stop();

  // Page completion: hands the boxed text of every row of the display page to
  // drawRow, top row first.
  void showPage();
  // Draws one subtitle line for row index i (teletext row i + 1). 0 when
  // drawn, 1 when not.
  int drawRow(const std::string& text, int i);
  // Clears every band drawn since configure, or postpones the clear while
  // something else is on screen.
  void clearPage();
  // False while a pixel of a colour that is not ours sits on the centre column.
  bool isAreaFree();

  // The fixed decoding tables, exposed so that tests can hold them against
  // values worked out another way.
  static uint8_t ReverseBits(uint8_t byte);
  // 0..15, or 0xFF for an uncorrectable byte. The byte is in reception order
  // (bit 0 is the first bit sent).
  static uint8_t Hamming84(uint8_t byte);
  // The 7-bit character of a byte with odd parity, else a space.
  static uint8_t OddParity(uint8_t byte);

  // Lets a test or tool watch every line handed to drawRow (text, row index),
  // whether or not it reaches the screen. Called on the reader thread.
  using RowObserver = void (*)(const std::string& text, int row, void* context);
  void SetRowObserver(RowObserver observer, void* context) {
    rowObserver = observer;
    rowObserverContext = context;
  }

  // Read-only views of the decoder state for tests and diagnostics.
  const uint8_t* DisplayRow(int i) const { return displayPage[i]; }
  const uint8_t* ReceiveRow(int i) const { return receivePage[i]; }
  int Receiving() const { return receiving; }
  int WantedPage() const { return wantedPage; }
  int MagazinePage(int m) const { return magazinePage[m]; }
  bool ClearPending() const { return clearPending; }
  int LastDrawnRow() const { return lastDrawnRow; }
  int HighestRow() const { return highestRow; }
  int LowestRow() const { return lowestRow; }
  int LineHeight() const { return lineHeight; }
  int Descent() const { return descent; }
  int RowSpace() const { return rowSpace; }
  int StartY() const { return startY; }
  int FontSize() const { return fontSize; }
  int OutlineSize() const { return outlineSize; }
  int UseBackground() const { return useBackground; }
  int CenterText() const { return centerText; }
  int StartX() const { return startX; }
  uint32_t TextColor() const { return textColor; }
  uint32_t OutlineColor() const { return outlineColor; }
  uint32_t BackgroundColor() const { return backgroundColor; }

  // Set by decoder control before configure; both not owned.
  Config* config = nullptr;
  FrameBuffer* frameBuffer = nullptr;
  int videoFormat = 4;

 private:
  void decodeUnit(const uint8_t* unit);
  void readLayoutSettings();

  int wantedPage = 0;
  int wantedMagazine = 0;
  uint8_t packet[42] = {};
  uint8_t receivePage[kRows][kColumns];
  int magazinePage[9];
  uint8_t displayPage[kRows][kColumns];
  int receiving = 0;

  // Layout; the initial values are the settings' defaults so that a decoder
  // started without a settings store still draws sensibly.
  int lineHeight = 0;
  int descent = 0;
  int rowSpace = 5;
  int startX = 60;
  int startY = 0;
  int extraYSize = 0;
  int fontSize = 28;
  int useBackground = 2;
  int outlineSize = 2;
  int centerText = 1;
  uint32_t backgroundColor = 0x00000044;
  uint32_t outlineColor = 0x000000ff;
  uint32_t textColor = 0xffffffff;
  int lastDrawnRow = -1;
  int highestRow = kScreenHeight;
  int lowestRow = 0;
  bool clearPending = false;

  RowObserver rowObserver = nullptr;
  void* rowObserverContext = nullptr;
};
