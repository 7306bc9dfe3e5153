// SPDX-License-Identifier: GPL-3.0-or-later
// The one seam through which windows ask the user something: message boxes
// and file dialogs. The program uses the Qt implementation; GUI tests put in
// their own to read the questions and answer them.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

class QTemporaryDir;
class QUrl;
class QWidget;

namespace ktal {

enum class MessageIcon { None, Information, Exclamation, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MessageAnswer { Ok, Cancel, Yes, No, Retry };

class UserDialogs {
 public:
  virtual ~UserDialogs() = default;

  virtual MessageAnswer ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                                    MessageIcon icon, MessageButtons buttons) = 0;
  // As ShowMessage, with `defaultAnswer`'s button as the one Enter presses,
  // for questions where the usual default would do harm. A seam that
  // cannot press Enter has nothing to do with it.
  virtual MessageAnswer ShowMessageWithDefault(QWidget* parent, const QString& text,
                                               const QString& caption, MessageIcon icon,
                                               MessageButtons buttons,
                                               MessageAnswer /*defaultAnswer*/) {
    return ShowMessage(parent, text, caption, icon, buttons);
  }
  // Names of the chosen existing files; empty when the user cancelled.
  virtual QStringList OpenFiles(QWidget* parent, const QString& caption, const QString& directory,
                                const QString& filter, bool multiple) = 0;
  // Name of the file to write, starting from `proposed`; the user has
  // agreed to replace an existing file. Empty when the user cancelled, and
  // always for a seam that saves nothing.
  virtual QString SaveFile(QWidget* /*parent*/, const QString& /*caption*/,
                           const QString& /*proposed*/, const QString& /*filter*/) {
    return {};
  }
  // An existing folder the user chose, the dialog starting at `directory`;
  // empty when the user cancelled, and always for a seam that chooses
  // nothing.
  virtual QString ChooseFolder(QWidget* /*parent*/, const QString& /*caption*/,
                               const QString& /*directory*/) {
    return {};
  }
  // Shows the file in the desktop's program for it (a page in the
  // browser); false when no program could be started.
  virtual bool OpenWithDesktop(const QString& file);
};

// Real message boxes and file dialogs. In night vision the file dialogs are
// Qt's own, which follow the program's colours (a desktop's dialog would
// light up white), and pages open in their night theme.
class QtUserDialogs final : public UserDialogs {
 public:
  QtUserDialogs();
  ~QtUserDialogs() override;

  MessageAnswer ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                            MessageIcon icon, MessageButtons buttons) override;
  MessageAnswer ShowMessageWithDefault(QWidget* parent, const QString& text, const QString& caption,
                                       MessageIcon icon, MessageButtons buttons,
                                       MessageAnswer defaultAnswer) override;
  QStringList OpenFiles(QWidget* parent, const QString& caption, const QString& directory,
                        const QString& filter, bool multiple) override;
  QString SaveFile(QWidget* parent, const QString& caption, const QString& proposed,
                   const QString& filter) override;
  QString ChooseFolder(QWidget* parent, const QString& caption, const QString& directory) override;
  // In night vision an HTML page opens with "#night" in its address.
  bool OpenWithDesktop(const QString& file) override;

 private:
  // Where the pages that lead to a page's night theme are written; made at
  // the first one, removed with this object.
  std::unique_ptr<QTemporaryDir> nightLinks_;
  int nightLinkCount_ = 0;
};

// A page that sends the browser on to `target` at once, on black. The
// desktop's opener (xdg-open) drops the part of a file's address after
// '#', so a page that needs one is reached through this page instead.
QByteArray ForwardingPage(const QUrl& target);

}  // namespace ktal
