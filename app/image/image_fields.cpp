#include "app/image/image_fields.h"

namespace vm {

void WriteFactoryValues(std::uint8_t* record, std::span<const SettingField> fields) {
    for (const SettingField& f : fields)
        if (f.factory && f.kind == FieldKind::Bits) record[f.at] = 0;
    for (const SettingField& f : fields)
        if (f.factory) f.Set(record, *f.factory);
}

}  // namespace vm
