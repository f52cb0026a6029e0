#include "toolbar/page_lookup.h"

#include <new>

#include "band/account_settings.h"
#include "band/service_site.h"
#include <processthreadsapi.h>
#include "soap/brackenfold_proxy.h"
#include "toolbar/band_messages.h"
#include "toolbar/band_tool_bar_ctrl.h"

namespace Brackenfold {

void LookupChannel::Add(PageLookupRequest* request) {
    std::lock_guard<std::mutex> guard(lock_);
    running_.insert(request);
}

void LookupChannel::Finish(PageLookupRequest* request) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (toolbar_ && PostMessageW(toolbar_, WM_LOOKUP_DONE, reinterpret_cast<WPARAM>(request), 0)) {
            posted_.insert(request);
            return;
        }
        running_.erase(request);
    }
    // The toolbar is gone: nobody else will ever see this request.
    Free(request);
}

PageLookupRequest* LookupChannel::Take(WPARAM wParam) {
    auto* request = reinterpret_cast<PageLookupRequest*>(wParam);
    std::lock_guard<std::mutex> guard(lock_);
    if (!posted_.erase(request)) return nullptr;
    running_.erase(request);
    return request;
}

void LookupChannel::Close() {
    std::set<PageLookupRequest*> orphans;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!toolbar_) return;
        toolbar_ = nullptr;
        orphans.swap(posted_);
        for (PageLookupRequest* r : orphans) running_.erase(r);
        // Browser references belong to the window thread; the workers free the rest.
        for (PageLookupRequest* r : running_) r->browser.reset();
    }
    for (PageLookupRequest* r : orphans) Free(r);
}

void LookupChannel::Free(PageLookupRequest* request) {
    if (!request) return;
    if (request->thread) CloseHandle(request->thread);
    delete request;
}

void LookUpSite(const std::u16string& siteKey, PageLookupResult& result) {
    result = PageLookupResult{};
    try {
        result.setStatus = true;
        if (siteKey.find(u'.') == std::u16string::npos) {
            result.statusCode = u"su";
            return;
        }
        // Equality: a site whose name merely begins with the service domain is a foreign site.
        if (siteKey == ServiceSiteKey()) {
            result.statusCode = u"bf";
            return;
        }
        std::u16string account = GetAccountId();
        if (account.empty()) {
            result.setStatus = false;
            return;
        }
        bf::BStr accountId(account);
        bf::BStr domain(siteKey);
        CBrackenfold proxy;
        Combo combo{};
        if (FAILED(proxy.NewPage(accountId.get(), domain.get(), 1.0, &combo))) {
            result.statusCode = u"su";
            return;
        }
        struct Release {
            Combo* c;
            ~Release() { releaseResult(c); }
        } release{&combo};
        result.rating = combo.intRet;
        result.statusCode = combo.Alias ? std::u16string(combo.Alias, SysStringLen(combo.Alias)) : std::u16string();
        if (result.statusCode.empty()) result.statusCode = u"cfe";
        const clsUpdate& ad = combo.ClsUpdate;
        result.adId = ad.adID;
        if (ad.AdURL) result.adUrl.assign(ad.AdURL, SysStringLen(ad.AdURL));
        if (ad.AdBinary.data && ad.AdBinary.size > 0)
            result.adBytes.assign(ad.AdBinary.data, ad.AdBinary.data + ad.AdBinary.size);
        result.answered = true;
    } catch (const std::bad_alloc&) {
        result = PageLookupResult{};
        result.setStatus = true;
        result.statusCode = u"su";
    }
}

namespace {

DWORD WINAPI PageLookupWorker(LPVOID param) {
    auto* request = static_cast<PageLookupRequest*>(param);
    LookUpSite(request->siteKey, request->result);
    std::shared_ptr<LookupChannel> channel = request->channel;
    channel->Finish(request);  // the request is not touched after this
    return 0;
}

}  // namespace

void CBandToolBarCtrl::StartPageLookup(const std::u16string& siteKey) {
    // Results of lookups started before this one are stale from now on.
    m_lookupSiteKey = siteKey;
    if (!m_lookups) return;
    auto* request = new (std::nothrow) PageLookupRequest;
    if (!request) return;
    try {
        request->browser = m_browser;
        request->channel = m_lookups;
        request->siteKey = siteKey;
    } catch (const std::bad_alloc&) {
        delete request;
        return;
    }
    // Suspended until the handle is stored: the request must be complete before the worker can
    // hand it over.
    request->thread = CreateThread(nullptr, 0, &PageLookupWorker, request, CREATE_SUSPENDED, nullptr);
    if (!request->thread) {
        delete request;
        return;
    }
    m_lookups->Add(request);
    ResumeThread(request->thread);
}

LRESULT CBandToolBarCtrl::OnLookupDone(UINT, WPARAM wParam, LPARAM, BOOL&) {
    PageLookupRequest* request = m_lookups ? m_lookups->Take(wParam) : nullptr;
    if (!request) return 0;
    // Only the most recently started lookup may change what the toolbar shows: an older answer
    // would put one site's alias into the next site's forms.
    if (request->siteKey == m_lookupSiteKey) {
        const PageLookupResult& r = request->result;
        if (r.answered) SetRating(r.rating, request->siteKey);
        if (r.setStatus) m_statusCode = r.statusCode;
        if (r.answered) ShowAdvertisement(r.adId, r.adUrl, r.adBytes);
        RefreshStatusAndFill(m_browser.get());
    }
    LookupChannel::Free(request);
    return 0;
}

}  // namespace Brackenfold
