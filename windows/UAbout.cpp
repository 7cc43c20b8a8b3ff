#include "UAbout.h"

#include "Branding.h"
#include "ui_UAbout.h"

#include <QScreen>
#include <QShowEvent>

TFormAbout::TFormAbout(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , ui(std::make_unique<Ui::TFormAbout>())
{
    ui->setupUi(this);
    setWindowIcon(Branding::windowIcon());
    setAttribute(Qt::WA_QuitOnClose, false);
    setSizeGripEnabled(false);

    ui->Label1->setText(Branding::companyName());
    ui->Label2->setText(Branding::cityCountry());
    ui->Label3->setText(Branding::webAddress());
    ui->Label4->setText(Branding::email());
    ui->Image1->setPixmap(Branding::logo());
    QPalette white = ui->Panel2->palette();
    white.setColor(QPalette::Window, Qt::white);
    ui->Panel2->setPalette(white);
}

TFormAbout::~TFormAbout() = default;

void TFormAbout::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        if (QScreen* screen = this->screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QDialog::showEvent(event);
}
