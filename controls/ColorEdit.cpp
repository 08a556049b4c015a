#include "controls/ColorEdit.h"

#include <algorithm>

#include <wx/dcbuffer.h>

#include "device/Environment.h"

namespace {
constexpr char kToolSetting[] = ".\\Configuration\\System\\MPToolSetting.ini";
constexpr int kMinFontHeight = 8;

bool LooksSame(const kx::StatusCellState& a, const kx::StatusCellState& b) {
  return a.text == b.text && a.textColor == b.textColor && a.backColor == b.backColor &&
         a.fontHeight == b.fontHeight;
}
}  // namespace

std::vector<wxString> WrapCellText(const wxString& text, int width,
                                   const std::function<std::vector<int>(const wxString&)>& extents) {
  std::vector<wxString> lines;
  wxString rest = text;
  while (!rest.empty()) {
    const std::size_t feed = rest.find('\n');
    const wxString line = rest.Left(feed == wxString::npos ? rest.size() : feed);
    rest = feed == wxString::npos ? wxString() : rest.Mid(feed + 1);
    const std::vector<int> widths = line.empty() ? std::vector<int>() : extents(line);
    std::size_t start = 0;
    if (line.empty()) lines.push_back(line);
    while (start < line.size() && start < widths.size()) {
      const int base = start == 0 ? 0 : widths[start - 1];
      // The longest part from `start` that fits; one character at least.
      const auto end = std::upper_bound(widths.begin() + static_cast<std::ptrdiff_t>(start), widths.end(), base + width);
      std::size_t fit = std::max<std::size_t>(1, static_cast<std::size_t>(end - widths.begin()) - start);
      if (start + fit < line.size()) {
        const std::size_t cut = line.Mid(start, fit).find_last_of("* ");
        if (cut != wxString::npos && cut > 0) fit = cut + 1;
      }
      lines.push_back(line.Mid(start, fit));
      start += fit;
    }
  }
  return lines;
}

CColorEdit::CColorEdit(wxWindow* parent, kx::StatusCellModel* model,
                       std::function<std::string(const std::string&)> display)
    : wxWindow(parent, wxID_ANY, wxDefaultPosition, wxSize(120, 40), wxBORDER_SUNKEN | wxFULL_REPAINT_ON_RESIZE),
      m_Model(model),
      m_Display(std::move(display)),
      m_FontHeight(kx::ReadProfileInt("General Info", "ColorEditTextH", 20, kToolSetting)),
      m_FontWidth(kx::ReadProfileInt("General Info", "ColorEditTextW", 9, kToolSetting)) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  // Its own font and colour: a paint then does not ask the theme for them.
  SetOwnFont(GetFont());
  SetOwnForegroundColour(GetForegroundColour());
  // Room for about six lines of 26 characters of the cell's own size.
  SetMinSize(wxSize(std::max(120, m_FontWidth * 26), std::max(40, m_FontHeight * 6 + 8)));
  Bind(wxEVT_PAINT, &CColorEdit::OnPaint, this);
  ShowModel();
}

bool CColorEdit::ShowModel() {
  if (m_HasShown && m_Model->Changes() == m_Shown.changes) return false;
  kx::StatusCellState state = m_Model->Snapshot();
  const bool looks = !m_HasShown || !LooksSame(state, m_Shown);
  const bool tip = !m_HasShown || state.text != m_Shown.text || state.errorMessage != m_Shown.errorMessage;
  m_Shown = std::move(state);
  m_HasShown = true;
  if (tip) {
    // The whole text, which the cell may have to cut, and the failure message.
    std::string full = Display(m_Shown.text);
    if (!m_Shown.errorMessage.empty()) full += (full.empty() ? "" : "\n") + Display(m_Shown.errorMessage);
    SetToolTip(wxString::FromUTF8(full));
  }
  if (!looks) return false;
  m_Colors.SetColor(m_Shown.textColor, m_Shown.backColor);
  m_Text = wxString::FromUTF8(Display(m_Shown.text));
  m_WrapWidth = -1;
  ++m_Looks;
  Refresh();
  return true;
}

// Lays the text out at the largest font height up to `height` at which every
// line fits the cell; at the smallest one when none does.
void CColorEdit::Wrap(wxDC& dc, const wxSize& size, int height) {
  const auto layout = [&](int h) {
    if (!m_Font.IsOk() || h != m_FontHeightShown) {
      m_Font = wxFont(wxFontInfo(wxSize(0, h)).Family(wxFONTFAMILY_SWISS).Bold());
      m_FontHeightShown = h;
    }
    dc.SetFont(m_Font);
    m_Lines = WrapCellText(m_Text, size.x - 4, [&dc](const wxString& line) {
      wxArrayInt widths;
      dc.GetPartialTextExtents(line, widths);
      return std::vector<int>(widths.begin(), widths.end());
    });
    m_LineHeight = dc.GetCharHeight();
    return m_LineHeight * static_cast<int>(m_Lines.size()) <= size.y;
  };
  m_Fits = layout(height);
  if (!m_Fits) {
    int low = kMinFontHeight, high = height - 1;  // the largest that fits lies in [low, high]
    while (low < high) {
      const int mid = (low + high + 1) / 2;
      if (layout(mid))
        low = mid;
      else
        high = mid - 1;
    }
    m_Fits = layout(low);
  }
  m_LineWidths.clear();
  for (const wxString& line : m_Lines) m_LineWidths.push_back(dc.GetTextExtent(line).x);
}

void CColorEdit::OnPaint(wxPaintEvent&) {
  ++m_Paints;
  wxAutoBufferedPaintDC dc(this);
  const wxSize size = GetClientSize();
  dc.SetBrush(wxBrush(CColorPair::ToColour(m_Colors.BackColor())));
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.DrawRectangle(0, 0, size.x, size.y);
  // The requested size as the cell's settings allow: never above its own, and
  // smaller while the whole text does not fit (the tooltip has it in any case).
  const int requested = m_Shown.fontHeight > 0 ? m_Shown.fontHeight : m_FontHeight;
  const int height = std::max(kMinFontHeight, std::min(requested, m_FontHeight));
  if (m_WrapWidth != size.x || m_WrapHeight != size.y || m_FontAsked != height) {
    Wrap(dc, size, height);
    m_WrapWidth = size.x;
    m_WrapHeight = size.y;
    m_FontAsked = height;
  }
  dc.SetFont(m_Font);
  dc.SetTextForeground(CColorPair::ToColour(m_Colors.TextColor()));
  const int lineHeight = m_LineHeight;
  int y = std::max(0, (size.y - lineHeight * static_cast<int>(m_Lines.size())) / 2);
  for (std::size_t i = 0; i < m_Lines.size(); ++i) {
    dc.DrawText(m_Lines[i], std::max(2, (size.x - m_LineWidths[i]) / 2), y);
    y += lineHeight;
  }
}
