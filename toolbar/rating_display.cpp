// The rating label and the advertisement label: what the service says about the current site.
#include <string>

#include "band/service_site.h"
#include <winbase.h>
#include "toolbar/band_tool_bar_ctrl.h"

namespace Brackenfold {
namespace {

constexpr int kRatingImageFirst = 204;
constexpr char16_t kRatingPage[] = u"/rating.aspx?r=";

std::u16string Decimal(int value) {
    std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

}  // namespace

void CBandToolBarCtrl::SetRating(int rating, const std::u16string& siteKey) {
    m_ratingLabel.DropImage();
    // The link carries the value received, also outside 0..10; only the image is limited.
    std::u16string link = ServiceSitePrefix() + kRatingPage + Decimal(rating) + u"&d=";
    if (siteKey.size() > 7) link += siteKey.substr(7);
    m_ratingLabel.SetLink(link);
    m_ratingLabel.show(SW_HIDE);
    m_ratingLabel.LoadPngResource(rating >= 1 && rating <= 10 ? kRatingImageFirst + rating : kRatingImageFirst);
    m_ratingLabel.show(SW_SHOW);
}

void CBandToolBarCtrl::ShowAdvertisement(int adId, const std::u16string& adUrl, const std::vector<BYTE>& bytes) {
    if (adId == 0) {
        // Picture and link stay, out of reach while the label is hidden.
        m_adLabel.show(SW_HIDE);
        return;
    }
    m_adLabel.show(SW_SHOW);
    m_adLabel.SetLink(adUrl);  // the label follows only http: and https: links
    if (bytes.empty()) return;

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes.size());
    if (!block) return;
    void* data = GlobalLock(block);
    if (!data) {
        GlobalFree(block);
        return;
    }
    std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(data));
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, stream.put())) || !stream) {
        GlobalUnlock(block);
        GlobalFree(block);
        return;
    }
    GlobalUnlock(block);
    // The label decodes on its own thread and sizes itself to the picture.
    SendMessageW(m_adLabel.hwnd(), WM_LOAD_IMAGE_STREAM, reinterpret_cast<WPARAM>(stream.get()), 0);
}

}  // namespace Brackenfold
