#include "scheduler/task_run.h"

namespace psf {

std::string page_count_text(int n) {
    return std::to_string(n) + (n <= 1 ? " page read" : " pages read");
}

std::string image_count_text(int n) {
    return std::to_string(n) + (n <= 1 ? " image copied" : " images copied");
}

RunSummary run_retrieval(const RunSpec& spec, RunMode mode, m_psf::CrawlState& state,
                         TransferControl& inet, RunObserver& observer, std::stop_token stop) {
    using namespace m_psf;
    const bool scheduled = mode == RunMode::Scheduled;
    RunSummary summary;

    observer.set_colour(LabelColour::Busy);
    if (scheduled) {
        observer.set_caption("Récupère " + std::string(trim_blanks(spec.title)));
        observer.process_events();
    }

    inet.SetStopToken(stop);
    state.ImagesFound = 0;
    state.PagesFound = 1;
    state.PageList[1] = std::string(trim_blanks(spec.start_address));
    state.PagesRead = 0;

    if (!spec.user.empty() && !spec.password.empty())
        inet.SetCredentials(spec.user, spec.password, state.PageList[1]);
    else
        inet.SetCredentials("", "", state.PageList[1]);

    // Pages found during a pass are scanned by the next one.
    for (int level = 1; level <= spec.link_depth + 1 && !stop.stop_requested(); ++level) {
        analyse_pages(
            inet, state, state.PagesRead + 1, state.PagesFound, spec.include, spec.exclude,
            [&] {
                if (!scheduled) observer.set_caption(page_count_text(state.PagesRead));
                observer.process_events();
            },
            stop);
    }

    const int copied = copie_images(
        inet, state.ImageList, state.ImagesFound, spec.destination, spec.policy, spec.layout,
        [&](int n) {
            if (!scheduled) observer.set_caption(image_count_text(n));
            observer.process_events();
        },
        stop);

    observer.set_colour(LabelColour::Idle);
    if (scheduled) {
        observer.set_caption("");
        observer.process_events();
    }

    summary.pages_read = state.PagesRead;
    summary.images_found = state.ImagesFound;
    summary.images_copied = copied;
    summary.cancelled = stop.stop_requested();
    return summary;
}

}  // namespace psf
