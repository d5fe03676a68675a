#include "usb_devices.h"

#include "system_files.h"
#include "system_formats.h"

#include <QFileInfo>

std::optional<UsbDevice> usbDeviceAt(const QString &folder)
{
    UsbDevice device;
    device.vendorId = deviceIdNumber(attributeOf(folder, "idVendor"));
    device.productId = deviceIdNumber(attributeOf(folder, "idProduct"));
    if (device.vendorId.isEmpty() || device.productId.isEmpty())
        return std::nullopt;
    device.name = QFileInfo(folder).fileName();
    device.manufacturer = attributeOf(folder, "manufacturer");
    device.product = attributeOf(folder, "product");
    device.serialNumber = attributeOf(folder, "serial");
    return device;
}
