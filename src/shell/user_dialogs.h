// The one seam through which windows ask the user something: message boxes
// and file dialogs. The program uses the Qt implementation; GUI tests put in
// their own to read the questions and answer them.
#pragma once

#include <QString>
#include <QStringList>

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
  // Shows the file in the desktop's program for it (a page in the
  // browser); false when no program could be started.
  virtual bool OpenWithDesktop(const QString& file);
};

// Real message boxes and file dialogs.
class QtUserDialogs final : public UserDialogs {
 public:
  MessageAnswer ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                            MessageIcon icon, MessageButtons buttons) override;
  MessageAnswer ShowMessageWithDefault(QWidget* parent, const QString& text, const QString& caption,
                                       MessageIcon icon, MessageButtons buttons,
                                       MessageAnswer defaultAnswer) override;
  QStringList OpenFiles(QWidget* parent, const QString& caption, const QString& directory,
                        const QString& filter, bool multiple) override;
  QString SaveFile(QWidget* parent, const QString& caption, const QString& proposed,
                   const QString& filter) override;
};

}  // namespace ktal
