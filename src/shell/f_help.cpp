#include "shell/f_help.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>

#include "shell/twips.h"
#include "shell/widgets.h"

namespace psf::shell {

const char* const HelpText =
    "Task properties :\r\n"
    "--------------------------\r\n"
    "Title : The name of your retrieving task.\r\n"
    "Internet Address : http://... : The internet URL from where you want start the copy.\r\n"
    "Navigate in the web site : Yes if you want to explore the links from the home page.\r\n"
    "Secured Access : Enter the user name and the password if the site is protected.\r\n"
    "Images already existing : What must PSF doing if an image is already in the \r\n"
    "destination directory.\r\n"
    "Destination directory : directory where images are copied.\r\n"
    "\r\n"
    "Schedule :\r\n"
    "- On demand : The retrieving will be start by clicking on \"Retrieve now !\"\r\n"
    "- Many times a day : The retrieving  will be start automatically many times a day.\r\n"
    "- From... : The retrieving  will be start automatically once a day.\r\n"
    "\r\n"
    "Retrieve only these images :\r\n"
    "Enter the file names and types. You can use the special character * that replace\r\n"
    "one ore many characters and ? that replace only one character.\r\n"
    "\r\n"
    "Do not retrieve these images :\r\n"
    "Enter the file names and types of files you don't want to copy. you can \r\n"
    "also use the * and ? character.\r\n"
    "\r\n"
    "Buttons :\r\n"
    "--------------\r\n"
    "- Schedule : To memorize one task.\r\n"
    "- Delete : To delete one schedule task but don't delete the copied files.\r\n"
    "- Retrieve now ! : Run a retrieving task now.\r\n"
    "- Edit : To modify a retrieving task. Once the modification is done, click on \r\n"
    "\"Schedule\" to memorize this retrieving task.\r\n";

namespace {

QPointer<f_help> open_help;

}  // namespace

f_help::f_help(QWidget* owner) : QDialog(owner) {
    setObjectName("f_help");
    setWindowTitle("Help");
    setAttribute(Qt::WA_DeleteOnClose);
    // A fixed single border: no minimise, no maximise, no resizing.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(px(6600), px(5130));
    setModal(false);
    // The box was drawn for the layout's font: each line fits it whole.
    setFont(layout_font());

    // Read as a page: Tab goes on to "Ok", and a line breaks only where the
    // text breaks it.
    Text1 = place(named(new QPlainTextEdit(this), "Text1"), 120, 120, 6375, 4215);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setReadOnly(true);
    Text1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Text1->setTabChangesFocus(true);
    Text1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text1->setPlainText(QString::fromUtf8(HelpText));

    Command1 = place(named(new QPushButton("Ok", this), "Command1"), 2520, 4560, 1575, 375);
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &QWidget::close);
}

void show_help(QWidget* owner) {
    if (!open_help) open_help = new f_help(owner);
    f_help* help = open_help;
    help->show();
    if (QScreen* screen = help->screen()) {
        const QRect area = screen->geometry();
        help->move(area.x() + (area.width() - help->frameGeometry().width()) / 2,
                   area.y() + (area.height() - help->frameGeometry().height()) / 2);
    }
    help->raise();
    help->activateWindow();
}

f_help* help_window() {
    return open_help;
}

editor::Message about_message() {
    return {"About", "Picsifter v2.0", editor::Icon::Information, editor::Buttons::Ok};
}

}  // namespace psf::shell
