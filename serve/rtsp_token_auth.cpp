#include "serve/rtsp_token_auth.h"

#include <string_view>

#include "serve/access_token.h"

namespace lep3tool::serve {

namespace {

struct TokenAuth {
    GstRTSPAuth parent;
    std::string *token;
    GstRTSPToken *viewer; // what a client with the token is
};

struct TokenAuthClass {
    GstRTSPAuthClass parent_class;
};

G_DEFINE_TYPE(TokenAuth, token_auth, GST_TYPE_RTSP_AUTH)

constexpr std::string_view kBasic = "Basic ";

// The password of a Basic Authorization header ("user:password" in base64), or empty.
std::string basic_password(const char *header)
{
    const std::string_view value = header;
    if (!value.starts_with(kBasic))
        return {};
    gsize size = 0;
    const std::string encoded(value.substr(kBasic.size()));
    guchar *decoded = g_base64_decode(encoded.c_str(), &size);
    const std::string credentials(reinterpret_cast<const char *>(decoded), size);
    g_free(decoded);
    const size_t colon = credentials.find(':');
    return colon == std::string::npos ? std::string() : credentials.substr(colon + 1);
}

gboolean token_auth_authenticate(GstRTSPAuth *auth, GstRTSPContext *ctx)
{
    auto *self = reinterpret_cast<TokenAuth *>(auth);
    gchar *header = nullptr;
    if (ctx->request &&
        gst_rtsp_message_get_header(ctx->request, GST_RTSP_HDR_AUTHORIZATION, &header, 0) == GST_RTSP_OK &&
        token_matches(basic_password(header), *self->token)) {
        // Borrowed: the authenticator outlives every request it answers.
        ctx->token = self->viewer;
        return TRUE;
    }
    return GST_RTSP_AUTH_CLASS(token_auth_parent_class)->authenticate(auth, ctx);
}

void token_auth_finalize(GObject *object)
{
    auto *self = reinterpret_cast<TokenAuth *>(object);
    delete self->token;
    gst_rtsp_token_unref(self->viewer);
    G_OBJECT_CLASS(token_auth_parent_class)->finalize(object);
}

void token_auth_class_init(TokenAuthClass *klass)
{
    G_OBJECT_CLASS(klass)->finalize = token_auth_finalize;
    GST_RTSP_AUTH_CLASS(klass)->authenticate = token_auth_authenticate;
}

void token_auth_init(TokenAuth *self)
{
    self->token = new std::string;
    self->viewer = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRtspViewerRole, nullptr);
}

} // namespace

GstRTSPAuth *make_rtsp_token_auth(const std::string &token)
{
    auto *auth = static_cast<TokenAuth *>(g_object_new(token_auth_get_type(), nullptr));
    *auth->token = token;
    gst_rtsp_auth_set_realm(&auth->parent, "lep3");
    return &auth->parent;
}

} // namespace lep3tool::serve
