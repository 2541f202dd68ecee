import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A labelled numeric field that stores an integer and shows it divided by valueMultiplier.
Item {
    id: root

    property string text
    property alias value: spinBox.value
    property alias from: spinBox.from
    property alias to: spinBox.to
    property alias stepSize: spinBox.stepSize
    property int decimals: 2
    property int valueMultiplier: 1000

    function textFromValue(value, locale) {
        return Number(value / valueMultiplier).toLocaleString(locale, "f", decimals)
    }

    // The stored value for a typed number; text that is no number within the bounds is refused
    // and the current value kept.
    function valueFromText(text, locale) {
        let number
        try {
            number = Number.fromLocaleString(locale, text)
        } catch (error) {
            return value
        }
        const bottom = Math.min(from, to) / valueMultiplier
        const top = Math.max(from, to) / valueMultiplier
        if (!(number >= bottom && number <= top))
            return value
        return Math.round(number * valueMultiplier)
    }

    Layout.fillWidth: true
    implicitWidth: label.implicitWidth + spinBox.width + 10
    implicitHeight: Math.max(label.implicitHeight, spinBox.implicitHeight)

    Label {
        id: label

        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
        text: root.text
    }

    SpinBox {
        id: spinBox

        objectName: "spinBox"
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        width: 150
        editable: true
        textFromValue: (value, locale) => root.textFromValue(value, locale)
        valueFromText: (text, locale) => root.valueFromText(text, locale)

        validator: DoubleValidator {
            bottom: Math.min(spinBox.from, spinBox.to) / root.valueMultiplier
            top: Math.max(spinBox.from, spinBox.to) / root.valueMultiplier
            decimals: root.decimals
            notation: DoubleValidator.StandardNotation
            locale: spinBox.locale.name
        }
    }
}
