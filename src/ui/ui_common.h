// What every window and dialog of the desktop front end shares: texts through
// the "zefa" catalogue, the program's icons and flags, and message boxes that
// tests can watch.
#pragma once

#include <QIcon>
#include <QMargins>
#include <QString>

#include <functional>
#include <string>

class QDialog;
class QDialogButtonBox;
class QWidget;

namespace vantor {
struct ProxyMode;
}

namespace vantor::ui {

// A catalogue key (the English text) translated, as Qt text. Every text the
// windows show goes through T(); the extraction of lang/ looks for it.
QString T(const char* key);
// Marks a catalogue key kept for later translation (tables of texts).
constexpr const char* N_(const char* key) { return key; }
// UTF-8 data (node remarks, group names) as Qt text, and back.
QString U(const std::string& text);
std::string S(const QString& text);

// Our own icons by file name ("add.svg"); the flag of a country index of the
// node store (a neutral one outside the table).
QIcon appIcon(const char* name);
QIcon flagIcon(int32_t countryIndex);

// Whether names are shown in their Chinese (2052) form.
bool chineseNames();
// A proxy mode as the selector and the tray show it: built-in modes by
// their translated name, rule-file modes by their local name under Chinese.
QString modeName(const ProxyMode& mode);

// A message box with an OK button, not waiting (the caller goes on; the box
// deletes itself when closed). Tests replace it to record the texts.
using MessageSink = std::function<void(QWidget* parent, const QString& text)>;
void showMessage(QWidget* parent, const QString& text);
void setMessageSink(MessageSink sink);  // empty: message boxes again

// OK and Cancel (translated) wired to the dialog's accept and reject.
QDialogButtonBox* okCancelButtons(QDialog* dialog);

// Window placement. Every top-level window and dialog is kept inside the
// available area of its screen (title bar and borders included): one that
// is too large is made smaller, one placed partly off the screen is moved
// in, and a window of ours with a parent window opens centred over it.
// fitOnScreen() does this for one window now; keepWindowsOnScreen() does it
// for every window of the application each time one is shown.
void fitOnScreen(QWidget* window);
void keepWindowsOnScreen();
// The frame the window manager puts around `window`: known once it was
// shown; before, the frame of its parent window, else a usual title bar and
// border.
QMargins windowFrame(const QWidget* window);

// The product name and version as the title bar shows them; the About box.
QString productTitle();
QString aboutText();

}  // namespace vantor::ui
