// How a port's outcome is shown: SetPortStatus turns a state number into the
// cell's colours and text, the three texts the result dialog keeps, and the
// result tables the page reads.
#include <cctype>
#include <string>

#include "device/PortDevice.h"
#include "engine/PortJob.h"

namespace {

using kx::Rgb;

constexpr std::uint32_t kBlack = Rgb(0, 0, 0);
constexpr std::uint32_t kWhite = Rgb(255, 255, 255);
constexpr std::uint32_t kRed = Rgb(255, 0, 0);
constexpr std::uint32_t kGreen = Rgb(0, 255, 0);
constexpr std::uint32_t kBlue = Rgb(0, 100, 255);

// What each state shows. textMode: how the cell text changes.
enum class Text { Unchanged, Code, Empty, EmptyThenCode, EmptyFirstThenCode };
struct StateRow {
  int state;
  std::uint32_t text, back;
  Text textMode;
  int shown;        // m_ShownState and g_PortResult
  bool finished;    // the page's run state becomes 4
  const char* kept; // kept state text; null keeps the code
};

constexpr StateRow kStates[] = {
    {-1, kRed, kBlack, Text::Unchanged, -1, false, nullptr},
    {0, kBlack, kRed, Text::EmptyFirstThenCode, 0, true, "Error"},
    {1, kBlack, kGreen, Text::Code, 1, true, "Pass"},
    {2, kBlack, Rgb(255, 255, 0), Text::Code, 2, false, nullptr},
    {4, kBlack, kWhite, Text::Empty, 4, false, nullptr},
    {5, kWhite, kBlue, Text::EmptyThenCode, 4, false, nullptr},
    {6, kWhite, kBlue, Text::EmptyThenCode, 0, false, nullptr},
    {7, kBlack, Rgb(255, 165, 0), Text::Code, 1, true, "Pass"},
    {8, Rgb(255, 215, 0), kBlack, Text::Code, 1, true, "Pass"},
    {9, kBlack, Rgb(148, 40, 255), Text::Code, 1, true, "Pass"},
};

// "[F...]" out of a fail message, or empty.
std::string ExtraOf(const std::string& message) {
  const std::size_t open = message.find("[F");
  if (open == std::string::npos) return {};
  const std::size_t close = message.find(']', open);
  if (close == std::string::npos) return {};
  return message.substr(open, close - open + 1);
}

void ShowText(IStatusCell& cell, const std::string& text) {
  cell.SetWindowText(text);
  cell.Redraw();
}

void ClearAndShow(IStatusCell& cell, const std::string& text) {
  cell.Clear();
  ShowText(cell, text);
}

}  // namespace

void CPortJob::SetPortStatus(int state, std::string code, std::string message) {
  if (m_StatusCell) m_StatusCell->SetFontSize(20, 10);
  code = CPortDevice::FormatErrorCode(code);
  const std::string extra = message.empty() ? std::string() : ExtraOf(message);

  const StateRow* row = nullptr;
  for (const StateRow& r : kStates)
    if (r.state == state) row = &r;
  if (row == nullptr) return;

  if (IStatusCell* cell = m_StatusCell) {
    if (row->textMode == Text::EmptyFirstThenCode) ShowText(*cell, "");
    cell->SetColor(row->text, row->back);
    switch (row->textMode) {
      case Text::Unchanged: break;
      case Text::Code: ShowText(*cell, code); break;
      case Text::Empty: ClearAndShow(*cell, ""); break;
      case Text::EmptyThenCode:
        ShowText(*cell, "");
        ClearAndShow(*cell, code);
        break;
      case Text::EmptyFirstThenCode: ClearAndShow(*cell, extra.empty() ? code : code + "*" + extra); break;
    }
  }
  if (row->textMode == Text::Empty && m_Progress) m_Progress->SetPos(0);

  m_ShownState = row->shown;
  if (m_Slot >= 1 && m_Slot <= kx::kPortTableSize) g_PortResult[m_Slot - 1] = row->shown;
  if (row->finished) SetPortRunState(4);

  if (m_StatusCell) {
    if (row->state == 0) {
      m_StatusCell->SetKeptTexts("Error", code, message);
    } else {
      m_StatusCell->SetKeptTexts(row->kept ? row->kept : code, "", "");
    }
  }
}

namespace {

void AppendStatusText(IStatusCell* cell, std::uint32_t back, const std::string& extra) {
  if (!cell) return;
  cell->SetFontSize(18, 9);
  cell->SetColor(kBlack, back);
  std::string text = cell->GetWindowText();
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  ClearAndShow(*cell, text + "*" + extra);
}

}  // namespace

void CPortJob::AppendStatusTextRed(std::string extra) { AppendStatusText(m_StatusCell, kRed, extra); }

void CPortJob::AppendStatusTextGreen(std::string extra) { AppendStatusText(m_StatusCell, kGreen, extra); }

void CPortJob::JoinResultFields(bool withSerialText, int state, std::string code, std::string message,
                                std::string extra) {
  SetPortStatus(state, std::move(code), std::move(message));
  if (!m_Device) return;
  CPortDevice& d = *m_Device;
  if (m_VolumeLocked) {
    d.m_Volume.CloseVolumeHandle();
    m_VolumeLocked = 0;
  }
  if (!withSerialText) return;
  // The serial number is shown in two parts, split after its tenth character.
  const std::string& sn = d.m_SerialNumber;
  const std::string head = sn.substr(0, 10);
  const std::string tail = sn.size() > 10 ? sn.substr(10) : std::string();
  if (!d.m_StatusExtraFlag) {
    d.m_StatusExtraText += head + "*" + tail;
    d.m_StatusExtraFlag = 1;
  } else if (extra.empty()) {
    d.m_StatusExtraText += "*" + head + "*" + tail;
  } else {
    d.m_StatusExtraText += "*" + head + "*" + tail + "*" + extra;
  }
}
