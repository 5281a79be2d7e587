// Help topics: the Help buttons and the Help menu open a topic, a short page
// of its own in a window beside the one that asked (never modal, so that
// the user can read it next to the message it explains).
#pragma once

#include <QString>

class QWidget;

// The topic's text (rich text), "" for a topic this program does not know.
QString HelpTopicText(const QString& topic);
// Opens the topic's window (objectName "helpTopic", the topic in its
// "topic" property) over parent; an unknown topic opens the overview.
void OpenHelpTopic(QWidget* parent, const QString& topic);

// Help → About: program name, version, what it does, the licence.
void ShowAboutBox(QWidget* parent);
// The about box's text (tests).
QString AboutText();
