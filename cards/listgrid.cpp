#include "listgrid.h"

#include <QPainter>

#include "cardmodel.h"
#include "cellimage.h"
#include "mainhost.h"
#include "settings.h"

void dbgListTitleClick(IMainWindow& host, const std::string& field) {
    if (ReadSettingString("SORT", "cardno") != field) {
        WriteSettingString("SORT", field);
        // The direction stays, unless what is stored is none at all: then the
        // list could not open again until the setting was mended by hand.
        const QString order = QString::fromStdString(ReadSettingString("ORDER", "asc")).toLower();
        if (order != QLatin1String("asc") && order != QLatin1String("desc"))
            WriteSettingString("ORDER", "asc");
    } else {
        WriteSettingString("ORDER", ReadSettingString("ORDER", "asc") == "asc" ? "desc" : "asc");
    }
    host.RefreshCardList();
}

void dbgListDrawColumnCell(QPainter& canvas, const QRect& rect, const QModelIndex& cell,
                           const TImageList& images) {
    const QAbstractItemModel* model = cell.model();
    if (!model || model->rowCount() == 0) return;
    const QVariant kind = model->headerData(cell.column(), Qt::Horizontal, FieldKindRole);
    if (kind.toInt() != static_cast<int>(FieldKind::Boolean)) return;
    DrawBooleanCell(canvas, rect, cell.data(TCardModel::BooleanValueRole).toBool(), images);
}

TCardGridDelegate::TCardGridDelegate(const TImageList& images, QObject* parent)
    : QStyledItemDelegate(parent), FImages(images) {}

void TCardGridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    QStyledItemDelegate::paint(painter, option, index);
    const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (option.state & QStyle::State_Active) ? QPalette::Active
                                                                               : QPalette::Inactive;
    const bool selected = option.state & QStyle::State_Selected;
    painter->save();
    painter->setBrush(option.palette.brush(group, selected ? QPalette::Highlight : QPalette::Base));
    // The glyphs in the text colour: black on a light palette, light on a dark one.
    painter->setPen(option.palette.color(group, QPalette::Text));
    dbgListDrawColumnCell(*painter, option.rect, index, FImages);
    painter->restore();
}
