// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/user_dialogs.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QUrl>

#include "shell/night_mode.h"

namespace ktal {

namespace {

QMessageBox::Icon ToQt(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information:
      return QMessageBox::Information;
    case MessageIcon::Exclamation:
      return QMessageBox::Warning;
    case MessageIcon::Error:
      return QMessageBox::Critical;
    case MessageIcon::Question:
      return QMessageBox::Question;
    case MessageIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ToQt(MessageButtons buttons) {
  switch (buttons) {
    case MessageButtons::Ok:
      return QMessageBox::Ok;
    case MessageButtons::OkCancel:
      return QMessageBox::Ok | QMessageBox::Cancel;
    case MessageButtons::YesNo:
      return QMessageBox::Yes | QMessageBox::No;
    case MessageButtons::YesNoCancel:
      return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MessageButtons::RetryCancel:
      return QMessageBox::Retry | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QMessageBox::StandardButton ToQt(MessageAnswer answer) {
  switch (answer) {
    case MessageAnswer::Ok:
      return QMessageBox::Ok;
    case MessageAnswer::Cancel:
      return QMessageBox::Cancel;
    case MessageAnswer::Yes:
      return QMessageBox::Yes;
    case MessageAnswer::No:
      return QMessageBox::No;
    case MessageAnswer::Retry:
      return QMessageBox::Retry;
  }
  return QMessageBox::NoButton;
}

// A desktop's own file dialog keeps its light colours in night vision.
QFileDialog::Options DialogOptions() {
  return NightVisionOn() ? QFileDialog::DontUseNativeDialog : QFileDialog::Options();
}

MessageAnswer Run(QMessageBox& box) {
  switch (box.exec()) {
    case QMessageBox::Ok:
      return MessageAnswer::Ok;
    case QMessageBox::Yes:
      return MessageAnswer::Yes;
    case QMessageBox::No:
      return MessageAnswer::No;
    case QMessageBox::Retry:
      return MessageAnswer::Retry;
    default:
      return MessageAnswer::Cancel;  // Escape or the close box
  }
}

}  // namespace

bool UserDialogs::OpenWithDesktop(const QString& file) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

QByteArray ForwardingPage(const QUrl& target) {
  const QString address = QString::fromUtf8(target.toEncoded()).toHtmlEscaped();
  return QString(
             "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
             "<meta http-equiv=\"refresh\" content=\"0; url=%1\">\n"
             "<style>html { background: #000; color: #a00000; }</style>\n"
             "<title>Opening</title></head>\n"
             "<body><p><a href=\"%1\" style=\"color: #a00000\">Open the "
             "page</a></p></body></html>\n")
      .arg(address)
      .toUtf8();
}

QtUserDialogs::QtUserDialogs() = default;
QtUserDialogs::~QtUserDialogs() = default;

bool QtUserDialogs::OpenWithDesktop(const QString& file) {
  if (!NightVisionOn() || QFileInfo(file).suffix().compare("html", Qt::CaseInsensitive) != 0) {
    return UserDialogs::OpenWithDesktop(file);
  }
  QUrl target = QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath());
  target.setFragment("night");
  if (!nightLinks_) nightLinks_ = std::make_unique<QTemporaryDir>();
  // Without a page to go through, the address itself: some desktops' openers
  // keep its '#'.
  if (!nightLinks_->isValid()) return QDesktopServices::openUrl(target);
  // A name of its own each time: the browser may not have read the last
  // one yet.
  QFile link(nightLinks_->filePath(QString("night-%1.html").arg(++nightLinkCount_)));
  const QByteArray page = ForwardingPage(target);
  if (!link.open(QIODevice::WriteOnly) || link.write(page) != page.size() || !link.flush()) {
    return QDesktopServices::openUrl(target);
  }
  link.close();
  return QDesktopServices::openUrl(QUrl::fromLocalFile(link.fileName()));
}

MessageAnswer QtUserDialogs::ShowMessage(QWidget* parent, const QString& text,
                                         const QString& caption, MessageIcon icon,
                                         MessageButtons buttons) {
  QMessageBox box(ToQt(icon), caption, text, ToQt(buttons), parent);
  // A path in the text can be copied.
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);
  return Run(box);
}

MessageAnswer QtUserDialogs::ShowMessageWithDefault(QWidget* parent, const QString& text,
                                                    const QString& caption, MessageIcon icon,
                                                    MessageButtons buttons,
                                                    MessageAnswer defaultAnswer) {
  QMessageBox box(ToQt(icon), caption, text, ToQt(buttons), parent);
  // A path in the text can be copied.
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);
  box.setDefaultButton(ToQt(defaultAnswer));
  return Run(box);
}

QStringList QtUserDialogs::OpenFiles(QWidget* parent, const QString& caption,
                                     const QString& directory, const QString& filter,
                                     bool multiple) {
  if (multiple) {
    return QFileDialog::getOpenFileNames(parent, caption, directory, filter, nullptr,
                                         DialogOptions());
  }
  const QString name =
      QFileDialog::getOpenFileName(parent, caption, directory, filter, nullptr, DialogOptions());
  return name.isEmpty() ? QStringList() : QStringList{name};
}

QString QtUserDialogs::SaveFile(QWidget* parent, const QString& caption, const QString& proposed,
                                const QString& filter) {
  return QFileDialog::getSaveFileName(parent, caption, proposed, filter, nullptr, DialogOptions());
}

QString QtUserDialogs::ChooseFolder(QWidget* parent, const QString& caption,
                                    const QString& directory) {
  return QFileDialog::getExistingDirectory(parent, caption, directory,
                                           QFileDialog::ShowDirsOnly | DialogOptions());
}

}  // namespace ktal
