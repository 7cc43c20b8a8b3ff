#include "UAbout.h"

#include "Branding.h"
#include "WindowLook.h"
#include "ui_UAbout.h"

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
    WindowLook::setWhiteGround(ui->Panel2);
}

TFormAbout::~TFormAbout() = default;

void TFormAbout::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        WindowLook::centreOnScreen(*this, screen());
    }
    QDialog::showEvent(event);
}
