#include "fields.h"

#include <exception>

#include "dbengine.h"

int ReadFieldInt(TDbQuery& dataset, const std::string& field) {
    try {
        return dataset.FieldByName(field).AsInteger();
    } catch (const std::exception&) {
        return 0;
    }
}

bool ReadFieldBool(TDbQuery& dataset, const std::string& field) {
    try {
        return dataset.FieldByName(field).AsBoolean();
    } catch (const std::exception&) {
        return false;
    }
}

QString ReadFieldText(TDbQuery& dataset, const std::string& field) {
    try {
        return TrimControls(QString::fromStdString(dataset.FieldByName(field).AsString()));
    } catch (const std::exception&) {
        return {};
    }
}

QString TrimControls(const QString& text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin].unicode() <= 32) ++begin;
    while (end > begin && text[end - 1].unicode() <= 32) --end;
    return text.mid(begin, end - begin);
}
