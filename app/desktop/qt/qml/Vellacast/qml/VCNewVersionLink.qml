import QtQuick
import QtQuick.Controls
import Vellacast

// The link to the newer build that the service offers; shown only while it offers one.
Label {
    id: root

    // Rich text of the link: the address as target, the offered version in the text, both with
    // their markup characters escaped.
    function linkText(url, version) {
        const escape = text => String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;")
                                           .replace(/>/g, "&gt;").replace(/"/g, "&quot;")
        return "<a href=\"" + escape(url) + "\">" + escape(qsTr("Download new version") + " v"
                                                            + version) + "</a>"
    }

    objectName: "newVersionLink"
    visible: VCHub.clientUser.newVersionUrl !== ""
    textFormat: Text.RichText
    text: linkText(VCHub.clientUser.newVersionUrl, VCHub.clientUser.newVersion)
    onLinkActivated: link => Qt.openUrlExternally(link)
}
