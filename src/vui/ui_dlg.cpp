// SPDX-License-Identifier: GPL-3.0-or-later
#include "vui/ui_dlg.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>
#include <optional>

#include "canvas/bitmap_rect.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "shell/application_icon.h"
#include "shell/night_mode.h"
#include "shell/qt_text.h"
#include "shell/startup_directory.h"
#include "shell/user_dialogs.h"

namespace ktal {

namespace {

constexpr char kCaption[] = "Virtual K-Tal User Interface";
constexpr char kHint[] =
    "Use ESC, ENTER (SET) and the arrow keys to navigate!\n(Backspace = long ESC)";
constexpr char kPoweredOff[] = "K-Tal seems to be powered off,\n exiting virtual interface...";
constexpr char kPowerOnQuestion[] =
    "Do You want to try to power-on the device\n and retry with the Virtual UI?";
constexpr char kPowerOnCaption[] = "K-Tal may be powered off";
constexpr char kCantOpenForPowerOn[] =
    "Can't open the USB device to power on the K-Tal,\n exiting virtual interface...\n\nFTDI: %1\n";
constexpr char kCantSave[] = "Can't save the screen as\n%1\n";

constexpr int kScreenTickMs = 40;
constexpr int kLedTickMs = 21;
constexpr int kBandsPerTick = 4;

// Screen dots are 3 x 3 canvas pixels at one device pixel to a layout
// pixel, so the screen is 384 x 192 pixels, centred in its canvas.
constexpr int kDotCell = 3;
constexpr int kScreenWidth = kScreenColumns * kDotCell;
constexpr int kScreenHeight = kScreenRows * kDotCell;
// The canvases in layout pixels: the screen with a narrow frame round it.
constexpr int kScreenCanvasWidth = 400;
constexpr int kScreenCanvasHeight = 216;
constexpr int kLedCanvasWidth = 66;
constexpr int kLedCanvasHeight = 104;

constexpr unsigned kPowerOnLine = 0x02;  // CBUS1
constexpr std::uint32_t kPowerOnPulseMs = 50;
// The hand controller's firmware needs this long after the pulse before
// the handshake can find it.
constexpr std::uint32_t kPowerOnSettleMs = 2000;

// The dots of the screen in day colours (the guider's own amber) or in
// night vision's: the same red channel, green and blue off.
struct DotColours {
  std::uint32_t lit;
  std::uint32_t litEdge;
  std::uint32_t dark;
};
constexpr DotColours kDayDots = {kLitDot, kLitDotEdge, kDarkDot};
constexpr DotColours kNightDots = {kLitDot & 0xFF0000, kLitDotEdge & 0xFF0000, kDarkDot & 0xFF0000};

struct LedSpot {
  double fx;
  double fy;
  std::uint32_t lit;
  std::uint32_t dark;
};
// Bit n of the LED byte: blue and green at the top, the four red ones in
// a diamond below.
constexpr LedSpot kLedSpots[kLedCount] = {
    {0.25, 0.2, 0x0000FF, 0x000040}, {0.75, 0.2, 0x00FF00, 0x004000},
    {0.5, 0.4, 0xFF0000, 0x400000},  {0.5, 0.8, 0xFF0000, 0x400000},
    {0.22, 0.6, 0xFF0000, 0x400000}, {0.78, 0.6, 0xFF0000, 0x400000},
};
constexpr int kLedSize = 6;
// In night vision every LED is red, lit or dark as the red ones are; their
// places tell them apart.
constexpr std::uint32_t kNightLedLit = 0xFF0000;
constexpr std::uint32_t kNightLedDark = 0x400000;

// The dot sizes offered for a saved screen.
constexpr int kSaveDotSizes[] = {1, 2, 3, 4, 6, 8};
constexpr int kDefaultSaveDotSize = 3;

// One dot in a cell of `cell` x `cell` pixels with its top-left at (x, y):
// a lit dot is a bright square with a darker right column and bottom row a
// third of the cell wide, a dark dot one flat square.
template <typename Canvas>
void DrawDot(Canvas& canvas, int x, int y, int cell, bool lit, const DotColours& colours) {
  if (!lit) {
    canvas.SetPixelBlock(x, y, colours.dark, cell);
    return;
  }
  const int edge = cell / 3;
  const int bright = cell - edge;
  canvas.SetPixelBlock(x, y, colours.lit, bright);
  for (int i = 0; i < edge; ++i) {
    canvas.DrawVerticalLine(x + bright + i, y, y + cell - 1, colours.litEdge);
    canvas.DrawHorizontalLine(x, y + bright + i, x + bright - 1, colours.litEdge);
  }
}

// The canvas operations DrawDot needs, on an image.
class ImageCanvas {
 public:
  explicit ImageCanvas(QImage& image) : image_(image) {}
  void SetPixelBlock(int x, int y, std::uint32_t colour, int size) {
    for (int row = y; row < y + size; ++row) {
      for (int col = x; col < x + size; ++col) Set(col, row, colour);
    }
  }
  void DrawVerticalLine(int x, int y1, int y2, std::uint32_t colour) {
    for (int row = y1; row <= y2; ++row) Set(x, row, colour);
  }
  void DrawHorizontalLine(int x1, int y, int x2, std::uint32_t colour) {
    for (int col = x1; col <= x2; ++col) Set(col, y, colour);
  }

 private:
  void Set(int x, int y, std::uint32_t colour) {
    if (image_.valid(x, y)) image_.setPixel(x, y, 0xFF000000u | colour);
  }
  QImage& image_;
};

bool DotLit(const std::uint8_t* band, int column, int bit) { return (band[column] >> bit) & 1; }

std::optional<std::uint8_t> KeyCodeFor(int key) {
  switch (key) {
    case Qt::Key_Escape:
      return kKeyEsc;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return kKeySet;
    case Qt::Key_Left:
      return kKeyLeft;
    case Qt::Key_Right:
      return kKeyRight;
    case Qt::Key_Up:
      return kKeyUp;
    case Qt::Key_Down:
      return kKeyDown;
    case Qt::Key_Backspace:
      return kKeyLongEsc;
    default:
      return std::nullopt;
  }
}

}  // namespace

CUIDlg::CUIDlg(UserDialogs& dialogs, QWidget* parent) : QDialog(parent), dialogs_(dialogs) {
  setWindowTitle(kCaption);
  setWindowIcon(ApplicationIcon());
  // A window with its own taskbar button and a minimize box.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(QFont("Arial Black", 10));
  // The window itself takes every key: nothing in it may take the focus
  // and turn Enter into a button press.
  setFocusPolicy(Qt::StrongFocus);
  BuildControls();

  m_screenTimer.setInterval(kScreenTickMs);
  m_ledTimer.setInterval(kLedTickMs);
  connect(&m_screenTimer, &QTimer::timeout, this, &CUIDlg::OnScreenTimer);
  connect(&m_ledTimer, &QTimer::timeout, this, &CUIDlg::OnLedTimer);
  m_nBand = 0;
  StartTimers();
  m_bKeyRelease = 0;

  m_bNight = NightVisionOn();
  if (NightMode* night = ApplicationNightMode()) {
    connect(night, &NightMode::Changed, this, &CUIDlg::OnNightVision);
  }
}

CUIDlg::~CUIDlg() {
  StopTimers();
  if (m_pDevice != nullptr) m_pDevice->Close();
}

void CUIDlg::BuildControls() {
  auto named = [](QWidget* control, int id) {
    control->setObjectName(QString("control%1").arg(id));
    control->setFocusPolicy(Qt::NoFocus);
    return control;
  };

  m_screen = new CBitmapRect(this);
  named(m_screen, kIdVuiScreen);
  m_screen->setFixedSize(kScreenCanvasWidth, kScreenCanvasHeight);

  auto* hint = new QLabel(kHint, this);
  hint->setAlignment(Qt::AlignCenter);

  ledLabel_ = new QLabel("LEDs", this);
  named(ledLabel_, kIdVuiLedLabel);
  ledLabel_->setAlignment(Qt::AlignCenter);
  m_leds = new CBitmapRect(this);
  named(m_leds, kIdVuiLeds);
  m_leds->setFixedSize(kLedCanvasWidth, kLedCanvasHeight);

  dotSize_ = new QComboBox(this);
  named(dotSize_, kIdVuiDotSize);
  for (const int size : kSaveDotSizes) {
    dotSize_->addItem(QString("%1 x %2").arg(kScreenColumns * size).arg(kScreenRows * size), size);
    if (size == kDefaultSaveDotSize) dotSize_->setCurrentIndex(dotSize_->count() - 1);
  }
  dotSize_->setToolTip("Size of a saved screen");
  saveScreen_ = new QPushButton("Save screen...", this);
  named(saveScreen_, kIdVuiSaveScreen);
  saveScreen_->setAutoDefault(false);
  connect(saveScreen_, &QPushButton::clicked, this, &CUIDlg::OnSaveScreen);

  auto* layout = new QGridLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(m_screen, 0, 0);
  auto* ledColumn = new QVBoxLayout;
  ledColumn->addSpacing(24);
  ledColumn->addWidget(ledLabel_);
  ledColumn->addWidget(m_leds, 0, Qt::AlignHCenter);
  ledColumn->addStretch();
  layout->addLayout(ledColumn, 0, 1);
  layout->addWidget(hint, 1, 0);
  auto* saveRow = new QHBoxLayout;
  saveRow->addStretch();
  saveRow->addWidget(dotSize_);
  saveRow->addWidget(saveScreen_);
  layout->addLayout(saveRow, 2, 0, 1, 2);
}

void CUIDlg::StartTimers() {
  m_screenTimer.start();
  if (!m_bNoLeds) m_ledTimer.start();
}

void CUIDlg::StopTimers() {
  m_ledTimer.stop();
  m_screenTimer.stop();
}

int CUIDlg::DotScale(const CBitmapRect& canvas) {
  return std::max(1, static_cast<int>(canvas.PixelRatio()));
}

// ---- Keys ----

bool CUIDlg::event(QEvent* event) {
  if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
      PreTranslateMessage(static_cast<QKeyEvent*>(event))) {
    return true;
  }
  return QDialog::event(event);
}

bool CUIDlg::PreTranslateMessage(QKeyEvent* key) {
  const bool released = key->type() == QEvent::KeyRelease;
  // A held key repeats as presses alone; the releases some platforms put
  // between the repeats are no releases of the guider's key.
  if (released && (m_bKeyRelease == 0 || key->isAutoRepeat())) return true;
  const std::optional<std::uint8_t> code = KeyCodeFor(key->key());
  if (!code || (released && *code == kKeyLongEsc)) return false;
  if (m_pDevice != nullptr &&
      SendKey(*m_pDevice, released ? static_cast<std::uint8_t>(*code | kKeyReleased) : *code) !=
          0) {
    m_bClose = 1;
  }
  // Consumed either way: Esc and Enter must never close the window.
  return true;
}

// ---- The screen timer ----

void CUIDlg::OnScreenTimer() {
  if (m_pDevice != nullptr) {
    if (m_bHandshake != 0) {
      Handshake();
    } else {
      ReadScreen();
    }
  }
  EndOfTick();
}

void CUIDlg::Handshake() {
  m_pDevice->deviceKind = kDeviceKindGuider;
  // errorString holds only the failures of finding and opening the chip:
  // emptied first, so that an older one is not shown as this one's.
  m_pDevice->errorString.clear();
  if (EnterDeviceMode(*m_pDevice, kNormalMode) < 0) {
    StopTimers();
    // A guider that answers wrongly fails with the link open and errorString
    // empty; the handshake's message has the reason.
    const QString reason = m_pDevice->errorString.empty()
                               ? QString::fromLocal8Bit(g_protocolMessage).trimmed()
                               : QString::fromStdWString(m_pDevice->errorString);
    dialogs_.ShowMessage(this, QString("FTDI: %1\n").arg(reason), "ERROR", MessageIcon::Exclamation,
                         MessageButtons::Ok);
    m_bClose = 1;
  }
  // A guider that does not answer leaves the link closed: the next tick
  // goes the powered-off way.
  if (m_pDevice->IsOpen()) {
    ConfigureScreenPollLink(*m_pDevice);
    m_bKeyRelease = 0;
    std::uint16_t version = 0;
    // Without the version the handshake runs again at the next tick.
    if (ReadFirmwareVersion(*m_pDevice, &version) != 0) return;
    if (version >= kKeyReleaseVersion) m_bKeyRelease = 1;
  }
  m_bHandshake = 0;
}

void CUIDlg::ReadScreen() {
  if (!m_pDevice->IsOpen()) {
    PowerOffHandling(m_pDevice->timedOut != 0);
    return;
  }
  bool received = false;
  int failure = kVuiOk;
  for (int i = 0; i < kBandsPerTick; ++i) {
    m_nBand = (m_nBand + 1) % kScreenBands;
    std::uint8_t bytes[kBandBytes];
    failure = ReadScreenBand(*m_pDevice, m_nBand, bytes);
    if (failure != kVuiOk) break;
    m_bScreenSeen = 1;
    received = true;
    std::copy(std::begin(bytes), std::end(bytes), m_bands.data() + m_nBand * kBandBytes);
    m_bandsReceived.set(m_nBand);
    DrawBand(m_nBand);
  }
  if (failure != kVuiOk && !received) {
    // Only a guider that fell silent may be switched off; a wrong answer
    // or a failing driver closes the window without a word.
    PowerOffHandling(failure == kVuiTimedOut);
    return;
  }
  m_screen->repaint();
}

void CUIDlg::DrawBand(int band) {
  const int scale = DotScale(*m_screen);
  const int cell = kDotCell * scale;
  // Divisions truncate toward zero, also for a canvas smaller than the
  // screen.
  const int x0 = (m_screen->Width() - kScreenWidth * scale) / 2;
  const int y0 = (m_screen->Height() - kScreenHeight * scale) / 2;
  const DotColours& colours = m_bNight ? kNightDots : kDayDots;
  const std::uint8_t* bytes = m_bands.data() + band * kBandBytes;
  for (int column = 0; column < kScreenColumns; ++column) {
    for (int bit = 0; bit < 8; ++bit) {
      DrawDot(*m_screen, x0 + cell * column, y0 + cell * (8 * band + bit), cell,
              DotLit(bytes, column, bit), colours);
    }
  }
}

void CUIDlg::OnNightVision(bool on) {
  m_bNight = on;
  // What is on the screen now, in the new colours, without waiting for the
  // guider: bands not received yet stay black.
  for (int band = 0; band < kScreenBands; ++band) {
    if (m_bandsReceived.test(band)) DrawBand(band);
  }
  m_screen->repaint();
  if (m_nLastLeds >= 0) {
    DrawLeds(static_cast<std::uint8_t>(m_nLastLeds));
    m_leds->repaint();
  }
}

void CUIDlg::PowerOffHandling(bool timedOut) {
  if (!timedOut) {
    m_bClose = 1;
    return;
  }
  StopTimers();
  if (m_bScreenSeen != 0) {
    dialogs_.ShowMessage(this, kPoweredOff, "Note", MessageIcon::None, MessageButtons::Ok);
    m_bClose = 1;
    return;
  }
  const MessageAnswer answer = dialogs_.ShowMessage(
      this, kPowerOnQuestion, kPowerOnCaption, MessageIcon::Exclamation, MessageButtons::YesNo);
  if (answer != MessageAnswer::Yes) {
    m_bClose = 1;
  } else {
    if (!m_pDevice->IsOpen() && m_pDevice->Open() != 0) {
      // Without the link there is nothing to switch on and nothing to
      // poll: say so rather than leave a window that silently stopped.
      // errorText, not errorString: only the first always holds the
      // failure of this Open.
      dialogs_.ShowMessage(
          this, QString(kCantOpenForPowerOn).arg(QString::fromLocal8Bit(m_pDevice->errorText)),
          "ERROR", MessageIcon::Exclamation, MessageButtons::Ok);
      m_bClose = 1;
      return;
    }
    m_pDevice->SetBitOutput(kPowerOnLine, kPowerOnLine);
    m_pDevice->Wait(kPowerOnPulseMs);
    m_pDevice->SetBitOutput(kPowerOnLine, 0x00);
    m_pDevice->Wait(kPowerOnSettleMs);
    m_bHandshake = 1;
  }
  StartTimers();
}

void CUIDlg::EndOfTick() {
  if (m_bClose == 0 || closePosted_) return;
  closePosted_ = true;
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

// ---- The LED timer ----

void CUIDlg::OnLedTimer() {
  if (m_pDevice != nullptr && m_pDevice->IsOpen()) {
    std::uint8_t leds = 0;
    const int result = ReadLeds(*m_pDevice, &leds);
    if (result == kVuiNoLedByte) {
      ledLabel_->setText("no LEDs");
      m_bNoLeds = true;
      m_ledTimer.stop();
    } else if (result == kVuiOk && leds != m_nLastLeds) {
      DrawLeds(leds);
      m_leds->repaint();
      // Drawn into a canvas not painted yet, the LEDs are lost: such a byte
      // counts as not drawn, or they would stay dark until it changes.
      if (m_leds->IsInitialised()) m_nLastLeds = leds;
    }
  }
  EndOfTick();
}

void CUIDlg::DrawLeds(std::uint8_t leds) {
  const int width = m_leds->Width();
  const int height = m_leds->Height();
  const int scale = DotScale(*m_leds);
  for (int n = 0; n < kLedCount; ++n) {
    const LedSpot& spot = kLedSpots[n];
    const bool lit = (leds >> n) & 1;
    const std::uint32_t colour =
        m_bNight ? (lit ? kNightLedLit : kNightLedDark) : (lit ? spot.lit : spot.dark);
    m_leds->SetPixelBlock(static_cast<int>(width * spot.fx - 3 * scale),
                          static_cast<int>(height * spot.fy - 3 * scale), colour, kLedSize * scale);
  }
}

// ---- Closing ----

void CUIDlg::done(int result) {
  StopTimers();
  if (m_pDevice != nullptr) m_pDevice->Close();
  QDialog::done(result);
}

// ---- Saving the screen ----

QImage CUIDlg::ScreenImage(int dotSize) const {
  QImage image(kScreenColumns * dotSize, kScreenRows * dotSize, QImage::Format_RGB32);
  ImageCanvas canvas(image);
  for (int band = 0; band < kScreenBands; ++band) {
    const std::uint8_t* bytes = m_bands.data() + band * kBandBytes;
    for (int column = 0; column < kScreenColumns; ++column) {
      for (int bit = 0; bit < 8; ++bit) {
        DrawDot(canvas, dotSize * column, dotSize * (8 * band + bit), dotSize,
                DotLit(bytes, column, bit), kDayDots);
      }
    }
  }
  return image;
}

void CUIDlg::OnSaveScreen() {
  // The screen of the moment of the click, not of when the name is chosen.
  const QImage image = ScreenImage(dotSize_->currentData().toInt());
  const QString start = ToQString(g_startupDirectory / "ktal-screen.png");
  QString name = dialogs_.SaveFile(this, "Save screen as PNG", start, "PNG image (*.png)");
  if (name.isEmpty()) return;
  if (QFileInfo(name).suffix().isEmpty()) name += ".png";
  if (!image.save(name, "PNG")) {
    dialogs_.ShowMessage(this, QString(kCantSave).arg(name), "ERROR", MessageIcon::Exclamation,
                         MessageButtons::Ok);
  }
}

}  // namespace ktal
