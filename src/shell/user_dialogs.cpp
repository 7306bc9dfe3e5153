#include "shell/user_dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

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
  if (multiple) return QFileDialog::getOpenFileNames(parent, caption, directory, filter);
  const QString name = QFileDialog::getOpenFileName(parent, caption, directory, filter);
  return name.isEmpty() ? QStringList() : QStringList{name};
}

QString QtUserDialogs::SaveFile(QWidget* parent, const QString& caption, const QString& proposed,
                                const QString& filter) {
  return QFileDialog::getSaveFileName(parent, caption, proposed, filter);
}

}  // namespace ktal
