// SPDX-License-Identifier: GPL-3.0-or-later
// Each window opens where it was last closed, as the settings keep it, and
// never out of reach: a place that no screen shows any more (a monitor
// unplugged, a smaller display) is moved onto the first screen.
#pragma once

#include <QList>
#include <QRect>
#include <QString>

class QDialog;
class QWidget;

namespace ktal {

class SettingsStore;

// Where a window kept at `kept` (the top-left corner of its frame, the size
// of its inside) goes among `screens`, the available areas of the screens,
// the primary one first: where it was, when one screen shows enough of its
// title bar to take hold of; otherwise centred on the first screen, shrunk
// to fit it. With no screen at all it stays as kept.
QRect PlaceOnScreens(const QRect& kept, const QList<QRect>& screens);

// Puts `window` where the store keeps it under `name`, moved onto the
// screens of now; nothing when the store holds no place for it.
void RestoreWindowPlace(QWidget& window, const SettingsStore& store, const QString& name);
// Keeps where `window` is under `name`.
void KeepWindowPlace(const QWidget& window, SettingsStore& store, const QString& name);

// Runs `window` modally in its kept place, and keeps its place when it
// closes.
int ExecInKeptPlace(QDialog& window, SettingsStore& store, const QString& name);

}  // namespace ktal
