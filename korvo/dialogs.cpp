#include "dialogs.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "arguments.h"
#include "choices.h"
#include "config.h"
#include "discovery.h"
#include "i18n.h"
#include "process_control.h"
#include "window.h"

namespace {

// GNOME's layout: 18 px around a dialog's content, 12 px between its parts,
// 6 px between a label and what it names.
constexpr int kDialogMargin = 18;
constexpr int kDialogSpacing = 12;
constexpr int kLabelSpacing = 6;
constexpr int kBufferEntryChars = 4;
constexpr int kPlayFolderResponse = 1;
constexpr int kChooserWidth = 760;
constexpr int kChooserHeight = 520;

// What the players read: their own WAV/RF64 and DSD readers, and the usual
// files FFmpeg decodes for them.
constexpr std::array<const char*, 22> kAudioExtensions = {"wav",  "rf64", "w64",  "dsf", "dff", "wsd", "flac", "aif",
                                                          "aiff", "aifc", "alac", "ape", "wv",  "m4a", "mp3",  "ogg",
                                                          "oga",  "opus", "wma",  "mka", "caf", "tta"};

// The settings dialog's inputs, read by its Ok button.
struct settings_widgets {
  GtkToggleButton* convert = nullptr;
  GtkEntry* buffer = nullptr;
  GtkComboBox* level = nullptr;  // row ids "1", "2", "7"
  GtkToggleButton* dop = nullptr;
  GtkSpinButton* volume = nullptr;
};
settings_widgets settings;

std::string last_folder;  // of the last Open; empty until then

void close_dialog(GtkWidget* dialog) {
  gtk_grab_remove(dialog);
  gtk_widget_destroy(dialog);
}

gboolean on_dialog_delete(GtkWidget* dialog, GdkEvent*, gpointer) {
  close_dialog(dialog);
  return TRUE;
}

void on_close_clicked(GtkButton*, gpointer dialog) { close_dialog(GTK_WIDGET(dialog)); }

// Escape closes a dialog as its Cancel or Ok would.
gboolean on_dialog_key(GtkWidget* dialog, GdkEventKey* event, gpointer) {
  if (event->keyval != GDK_KEY_Escape) return FALSE;
  close_dialog(dialog);
  return TRUE;
}

// A modal window at the mouse position above the main window.
GtkWidget* new_dialog(const char* title) {
  GtkWidget* dialog = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(dialog), title);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_MOUSE);
  gtk_window_set_transient_for(GTK_WINDOW(dialog), window_main());
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
  g_signal_connect(dialog, "delete-event", G_CALLBACK(on_dialog_delete), nullptr);
  g_signal_connect(dialog, "key-press-event", G_CALLBACK(on_dialog_key), nullptr);
  return dialog;
}

// The dialog's content box, with the margins around it.
GtkWidget* content_box(GtkWidget* dialog) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, kDialogSpacing);
  gtk_container_set_border_width(GTK_CONTAINER(box), kDialogMargin);
  gtk_container_add(GTK_CONTAINER(dialog), box);
  return box;
}

// The title as a heading inside the dialog: shown without a window manager
// too, and where a decoration leaves it out.
GtkWidget* heading(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  PangoAttrList* bold = pango_attr_list_new();
  pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  gtk_label_set_attributes(GTK_LABEL(label), bold);
  pango_attr_list_unref(bold);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  return label;
}

GtkWidget* button_row() {
  GtkWidget* row = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(row), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(row), kLabelSpacing);
  return row;
}

void show_dialog(GtkWidget* dialog) {
  gtk_widget_show_all(dialog);
  gtk_grab_add(dialog);
}

// A heading, a message and one button (the default) that closes the dialog.
void message_dialog(const char* title, const char* message, const char* button_label) {
  GtkWidget* dialog = new_dialog(title);
  GtkWidget* box = content_box(dialog);
  gtk_box_pack_start(GTK_BOX(box), heading(title), FALSE, FALSE, 0);
  GtkWidget* text = gtk_label_new(message);
  gtk_label_set_xalign(GTK_LABEL(text), 0);
  gtk_box_pack_start(GTK_BOX(box), text, TRUE, TRUE, 0);
  GtkWidget* buttons = button_row();
  GtkWidget* button = gtk_button_new_with_label(button_label);
  g_signal_connect(button, "clicked", G_CALLBACK(on_close_clicked), dialog);
  gtk_container_add(GTK_CONTAINER(buttons), button);
  gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
  gtk_widget_set_can_default(button, TRUE);
  gtk_widget_grab_default(button);
  show_dialog(dialog);
  gtk_widget_grab_focus(button);
}

void on_settings_ok(GtkButton*, gpointer dialog) {
  choices.convert_format = gtk_toggle_button_get_active(settings.convert) != FALSE;
  config_set_number(kKeyBitperfect, choices.convert_format ? 0 : 1);
  choices.buffer_mb = choices_buffer_from_entry(gtk_entry_get_text(settings.buffer));
  config_set_number(kKeyBufferSize, choices.buffer_mb);
  brisa_choices& brisa = choices.brisa;
  const gchar* level = gtk_combo_box_get_active_id(settings.level);
  brisa.modulator_level = choices_modulator_level(level != nullptr ? g_ascii_strtoll(level, nullptr, 10) : 0);
  config_set_number(kKeyBrisaLevel, brisa.modulator_level);
  brisa.dop = gtk_toggle_button_get_active(settings.dop) != FALSE;
  config_set_number(kKeyBrisaDop, brisa.dop ? 1 : 0);
  gtk_spin_button_update(settings.volume);  // takes a number typed but not yet entered
  brisa.volume_db = choices_volume_clamp(gtk_spin_button_get_value_as_int(settings.volume));
  config_set_number(kKeyBrisaVolume, brisa.volume_db);
  close_dialog(GTK_WIDGET(dialog));
}

// brisa's modulator level, DoP and volume, under a heading of their own:
// the other players do not get them.
GtkWidget* brisa_section() {
  GtkWidget* section = gtk_box_new(GTK_ORIENTATION_VERTICAL, kLabelSpacing);
  gtk_box_pack_start(GTK_BOX(section), heading(_("brisa options")), FALSE, FALSE, 0);
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), kLabelSpacing);
  gtk_grid_set_column_spacing(GTK_GRID(grid), kDialogSpacing);

  GtkWidget* level_label = gtk_label_new_with_mnemonic(_("Modulator _level"));
  gtk_label_set_xalign(GTK_LABEL(level_label), 0);
  GtkWidget* level = gtk_combo_box_text_new();
  for (const char* id : {"1", "2", "7"}) gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(level), id, id);
  gtk_combo_box_set_active_id(GTK_COMBO_BOX(level), std::to_string(choices.brisa.modulator_level).c_str());
  gtk_widget_set_halign(level, GTK_ALIGN_START);
  gtk_label_set_mnemonic_widget(GTK_LABEL(level_label), level);
  settings.level = GTK_COMBO_BOX(level);
  gtk_grid_attach(GTK_GRID(grid), level_label, 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), level, 1, 0, 1, 1);

  GtkWidget* volume_label = gtk_label_new_with_mnemonic(_("_Volume"));
  gtk_label_set_xalign(GTK_LABEL(volume_label), 0);
  GtkWidget* volume_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, kLabelSpacing);
  GtkWidget* volume = gtk_spin_button_new_with_range(kMinVolumeDb, kMaxVolumeDb, 1);
  gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(volume), TRUE);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(volume), choices.brisa.volume_db);
  gtk_label_set_mnemonic_widget(GTK_LABEL(volume_label), volume);
  settings.volume = GTK_SPIN_BUTTON(volume);
  gtk_box_pack_start(GTK_BOX(volume_row), volume, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(volume_row), gtk_label_new("dB"), FALSE, FALSE, 0);
  gtk_grid_attach(GTK_GRID(grid), volume_label, 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), volume_row, 1, 1, 1, 1);

  GtkWidget* dop = gtk_check_button_new_with_mnemonic(_("_DoP (DSD over PCM)"));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(dop), choices.brisa.dop);
  settings.dop = GTK_TOGGLE_BUTTON(dop);
  gtk_grid_attach(GTK_GRID(grid), dop, 0, 2, 2, 1);
  gtk_box_pack_start(GTK_BOX(section), grid, FALSE, FALSE, 0);
  return section;
}

void add_filters(GtkFileChooser* chooser) {
  GtkFileFilter* audio = gtk_file_filter_new();
  gtk_file_filter_set_name(audio, _("Audio files"));
  for (const char* extension : kAudioExtensions) {
    const std::string lower = std::string("*.") + extension;
    gchar* upper = g_ascii_strup(lower.c_str(), -1);
    gtk_file_filter_add_pattern(audio, lower.c_str());
    gtk_file_filter_add_pattern(audio, upper);
    g_free(upper);
  }
  gtk_file_chooser_add_filter(chooser, audio);
  GtkFileFilter* all = gtk_file_filter_new();
  gtk_file_filter_set_name(all, _("All files"));
  gtk_file_filter_add_pattern(all, "*");
  gtk_file_chooser_add_filter(chooser, all);
}

std::string start_folder() {
  if (!last_folder.empty()) return last_folder;
  const char* music = g_get_user_special_dir(G_USER_DIRECTORY_MUSIC);
  return music != nullptr && g_file_test(music, G_FILE_TEST_IS_DIR) ? music : g_get_home_dir();
}

// The chosen local names; for Play Folder the chosen folders, or the
// folder shown when none is chosen.
std::vector<std::string> chosen_names(GtkFileChooser* chooser, bool folders_only) {
  std::vector<std::string> names;
  GSList* files = gtk_file_chooser_get_filenames(chooser);
  for (GSList* item = files; item != nullptr; item = item->next) {
    const char* name = static_cast<const char*>(item->data);
    if (!folders_only || g_file_test(name, G_FILE_TEST_IS_DIR)) names.emplace_back(name);
  }
  g_slist_free_full(files, g_free);
  if (folders_only && names.empty()) {
    if (gchar* folder = gtk_file_chooser_get_current_folder(chooser)) {
      names.emplace_back(folder);
      g_free(folder);
    }
  }
  return names;
}

// Makes a chooser of several files, from the folder last used, and shows
// it. The chooser sizes itself when shown (to most of the screen): a size
// of our own, centred on the window, comes after.
void show_chooser(GtkWidget* chooser) {
  GtkFileChooser* files = GTK_FILE_CHOOSER(chooser);
  gtk_file_chooser_set_select_multiple(files, TRUE);
  gtk_file_chooser_set_local_only(files, TRUE);
  gtk_file_chooser_set_current_folder(files, start_folder().c_str());
  add_filters(files);
  gtk_dialog_set_default_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
  gtk_widget_show(chooser);
  gtk_window_resize(GTK_WINDOW(chooser), kChooserWidth, kChooserHeight);
  gint x = 0;
  gint y = 0;
  gint width = 0;
  gint height = 0;
  gtk_window_get_position(window_main(), &x, &y);
  gtk_window_get_size(window_main(), &width, &height);
  gtk_window_move(GTK_WINDOW(chooser), std::max(0, x + (width - kChooserWidth) / 2),
                  std::max(0, y + (height - kChooserHeight) / 2));
}

void remember_folder(GtkFileChooser* files) {
  if (gchar* folder = gtk_file_chooser_get_current_folder(files)) {
    last_folder = folder;
    g_free(folder);
  }
}

}  // namespace

void dialog_open_files() {
  GtkWidget* chooser = gtk_file_chooser_dialog_new(_("Korvo - Open Files"), window_main(), GTK_FILE_CHOOSER_ACTION_OPEN,
                                                   _("_Cancel"), GTK_RESPONSE_CANCEL, _("Play _Folder"),
                                                   kPlayFolderResponse, _("_Open"), GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* files = GTK_FILE_CHOOSER(chooser);
  show_chooser(chooser);
  const gint response = gtk_dialog_run(GTK_DIALOG(chooser));
  std::vector<std::string> names;
  if (response == GTK_RESPONSE_ACCEPT || response == kPlayFolderResponse) {
    names = chosen_names(files, response == kPlayFolderResponse);
    remember_folder(files);
  }
  gtk_widget_destroy(chooser);
  if (names.empty()) return;
  const device_part part = build_device_part(window_take_device(), choices.convert_format);
  choices.device_kind = part.kind;
  window_play(open_argument_string(part.words, names));
}

void dialog_add_files() {
  GtkWidget* chooser =
      gtk_file_chooser_dialog_new(_("Korvo - Add to Play List"), window_main(), GTK_FILE_CHOOSER_ACTION_OPEN,
                                  _("_Cancel"), GTK_RESPONSE_CANCEL, _("_Add"), GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* files = GTK_FILE_CHOOSER(chooser);
  show_chooser(chooser);
  std::vector<std::string> names;
  if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    names = chosen_names(files, false);
    remember_folder(files);
  }
  gtk_widget_destroy(chooser);
  window_add(names);
}

void dialog_settings() {
  GtkWidget* dialog = new_dialog(_("Korvo - Playback Settings"));
  GtkWidget* box = content_box(dialog);
  gtk_box_pack_start(GTK_BOX(box), heading(_("Korvo - Playback Settings")), FALSE, FALSE, 0);

  GtkWidget* convert = gtk_check_button_new_with_label(_("convert format when necessary"));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(convert), choices.convert_format);
  settings.convert = GTK_TOGGLE_BUTTON(convert);
  gtk_box_pack_start(GTK_BOX(box), convert, FALSE, FALSE, 0);

  GtkWidget* size_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, kLabelSpacing);
  gtk_box_pack_start(GTK_BOX(size_row), gtk_label_new(_("Sound Buffer Size")), FALSE, FALSE, 0);
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_max_length(GTK_ENTRY(entry), kBufferEntryChars);
  gtk_entry_set_width_chars(GTK_ENTRY(entry), kBufferEntryChars);
  gtk_entry_set_text(GTK_ENTRY(entry), std::to_string(choices.buffer_mb).c_str());
  settings.buffer = GTK_ENTRY(entry);
  gtk_box_pack_start(GTK_BOX(size_row), entry, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(size_row), gtk_label_new("MBytes"), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), size_row, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), brisa_section(), FALSE, FALSE, 0);

  GtkWidget* buttons = button_row();
  GtkWidget* cancel = gtk_button_new_with_label(_("Cancel"));
  g_signal_connect(cancel, "clicked", G_CALLBACK(on_close_clicked), dialog);
  GtkWidget* ok = gtk_button_new_with_label(_("Ok"));
  g_signal_connect(ok, "clicked", G_CALLBACK(on_settings_ok), dialog);
  gtk_container_add(GTK_CONTAINER(buttons), cancel);
  gtk_container_add(GTK_CONTAINER(buttons), ok);
  gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
  // Enter in the size or the volume is Ok, as Escape is Cancel.
  gtk_widget_set_can_default(ok, TRUE);
  gtk_widget_grab_default(ok);
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  gtk_entry_set_activates_default(GTK_ENTRY(settings.volume), TRUE);
  show_dialog(dialog);
}

void dialog_version() {
  const std::string text = "Korvo Ver.1.0\n\n" + process_version_text(window_command_row());
  message_dialog(_("Korvo version"), text.c_str(), _("Ok"));
}

void dialog_confirm(const char* message) { message_dialog(_("Korvo - Confirm"), message, _("Confirm")); }

void dialog_save_failed(const char* path, const char* why) {
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_CLOSE, "%s",
                                             _("Korvo could not save its settings."));
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), _("%s cannot be written: %s"), path, why);
  gtk_window_set_title(GTK_WINDOW(dialog), "Korvo");
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

void dialog_fatal(const char* message) {
  std::string text = message;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  GtkWidget* dialog =
      gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_CLOSE, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), "Korvo");
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}
