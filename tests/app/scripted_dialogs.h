// SPDX-License-Identifier: GPL-3.0-or-later
// A UserDialogs that records every question and answers from a script, so
// GUI tests can check what the user was asked.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "shell/user_dialogs.h"

namespace ktal::testing {

struct AskedMessage {
  QString text;
  QString caption;
  MessageIcon icon;
  MessageButtons buttons;
  // The button Enter presses when the window chose one.
  std::optional<MessageAnswer> defaultAnswer;
};

class ScriptedDialogs final : public UserDialogs {
 public:
  // Answers given in order; once they run out every box is answered with
  // Cancel (or Ok for a box that has only Ok).
  void QueueAnswer(MessageAnswer answer) { answers_.push_back(answer); }
  void QueueFiles(QStringList files) { files_.push_back(std::move(files)); }
  // The name the next save dialog returns; without one it is cancelled.
  void QueueSaveFile(QString name) { saveNames_.push_back(std::move(name)); }
  // The folder the next folder dialog returns; without one it is cancelled.
  void QueueFolder(QString folder) { folders_.push_back(std::move(folder)); }

  const std::vector<AskedMessage>& messages() const { return messages_; }
  // The name each save dialog started from.
  const std::vector<QString>& proposedSaves() const { return proposedSaves_; }
  // Where each open-file and each folder dialog started.
  const std::vector<QString>& openedFrom() const { return openedFrom_; }
  const std::vector<QString>& foldersFrom() const { return foldersFrom_; }

  MessageAnswer ShowMessage(QWidget*, const QString& text, const QString& caption, MessageIcon icon,
                            MessageButtons buttons) override {
    messages_.push_back({text, caption, icon, buttons, std::nullopt});
    if (answers_.empty())
      return buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
    MessageAnswer answer = answers_.front();
    answers_.pop_front();
    return answer;
  }

  MessageAnswer ShowMessageWithDefault(QWidget* parent, const QString& text, const QString& caption,
                                       MessageIcon icon, MessageButtons buttons,
                                       MessageAnswer defaultAnswer) override {
    const MessageAnswer answer = ShowMessage(parent, text, caption, icon, buttons);
    messages_.back().defaultAnswer = defaultAnswer;
    return answer;
  }

  QStringList OpenFiles(QWidget*, const QString&, const QString& directory, const QString&,
                        bool) override {
    openedFrom_.push_back(directory);
    if (files_.empty()) return {};
    QStringList files = files_.front();
    files_.pop_front();
    return files;
  }

  QString SaveFile(QWidget*, const QString&, const QString& proposed, const QString&) override {
    proposedSaves_.push_back(proposed);
    if (saveNames_.empty()) return {};
    QString name = saveNames_.front();
    saveNames_.pop_front();
    return name;
  }

  QString ChooseFolder(QWidget*, const QString&, const QString& directory) override {
    foldersFrom_.push_back(directory);
    if (folders_.empty()) return {};
    QString folder = folders_.front();
    folders_.pop_front();
    return folder;
  }

 private:
  std::deque<MessageAnswer> answers_;
  std::deque<QStringList> files_;
  std::deque<QString> saveNames_;
  std::deque<QString> folders_;
  std::vector<QString> proposedSaves_;
  std::vector<QString> openedFrom_;
  std::vector<QString> foldersFrom_;
  std::vector<AskedMessage> messages_;
};

}  // namespace ktal::testing
