#!/usr/bin/perl
# Writes the handheld's tag and filter databases for the export tests:
#   make_export_dbs.pl IMAGE_DIR tags|filters|empty-filters|control-tags|control-filters
# Files are named after the database, as the handheld image expects.
use strict;
use warnings;
use Palm::PDB;
use Palm::Raw;

my ($dir, $what) = @ARGV;
die "usage: $0 IMAGE_DIR tags|filters|empty-filters|control-tags|control-filters\n" unless defined $what;

sub database {
    my ($name, $type) = @_;
    my $pdb = Palm::Raw->new();
    $pdb->{name} = $name;
    $pdb->{type} = $type;
    $pdb->{creator} = "Wkdq";
    $pdb->{ctime} = $pdb->{mtime} = 3000000000 - 2082844800;   # fixed dates
    return $pdb;
}

sub record {
    my ($pdb, $id, $category, $data) = @_;
    my $record = $pdb->append_Record();
    $record->{id} = $id;
    $record->{category} = $category;
    $record->{data} = $data;
}

# --- tags: the standard category block, then one record per tag ---
sub tags {
    my $pdb = database("TolvTags", "Tags");
    my @labels = ("Unfiled", "Work", "", "Home & Garden", "Work",
                  "ABCDEFGHIJKLMNOP",          # fills its field, no terminator
                  "Empty", "", "", "", "", "", "", "", "", "\xC9t\xE9");
    my @ids = (0, 1, 2, 3, 4, 5, 200, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    my $block = pack("n", 0);
    $block .= pack("a16", $_) for @labels;     # a16: NUL-padded, cut at 16
    $block .= pack("C16", @ids);
    $block .= pack("C", 15);                   # last unique ID, then padding
    $block .= "\x55" x (1100 - length $block); # a block longer than 1024 bytes
    $pdb->{appinfo} = $block;

    record($pdb, 0x1001, 1, pack("a32 N", "Urgent", 1));
    record($pdb, 0x1002, 0, pack("a32 N", "Phone", 2));
    record($pdb, 0x1003, 2, pack("a32 N", "Lost", 3));        # slot with no label
    record($pdb, 0x1004, 3, pack("a32 N", "Roses <red>", 4));
    record($pdb, 0x1005, 1, pack("a32 N", "Errand", 70000));
    record($pdb, 0x1006, 4, pack("a32 N", "Second Work", 4294967295));
    record($pdb, 0x1007, 5, pack("a32 N", "N" x 32, 7));      # name fills its field
    record($pdb, 0x1008, 0, pack("a32 N", "Caf\xE9", 8));
    record($pdb, 0x1009, 15, pack("a32 N", "Short", 9) . "");
    record($pdb, 0x100A, 0, "Tiny");                          # short record: ID reads 0
    return $pdb;
}

# --- filters: title, uniqueID, flags, rule count, 28-byte rules ---
sub rule {
    my ($op, $relation, $flagWord, $value) = @_;
    return pack("n n n a22", $op, $relation, $flagWord, $value);
}

sub filter {
    my ($title, $uid, $flags, $count, @rules) = @_;
    $count = scalar @rules unless defined $count;
    return pack("a32 N n n", $title, $uid, $flags, $count) . join("", @rules);
}

sub filters {
    my $pdb = database("TolvFilters", "Filt");
    record($pdb, 0x2001, 0, filter("Work items", 0x01020304, 3, undef,
        rule(1, 0, 0, "Smith & Sons"),
        rule(10, 7, 5, "3"),
        rule(11, 2, 2, "abc"),
        rule(8, 1, 1, "12"),
        rule(19, 3, 6, " -1")));
    record($pdb, 0x2002, 0, filter("Say \"hi\" <now>", 7, 0, undef,
        rule(22, 0, 0, "He said \"no\""),
        rule(3, 0, 0, "V" x 22),                  # value fills its field
        rule(23, 4, 0, "42xyz")));
    record($pdb, 0x2003, 0, filter("No rules", 8, 0, undef));
    record($pdb, 0x2004, 0, filter("T" x 32, 9, 65535, 3,  # title fills its field; count lies
        rule(0, 0, 0, "1")));
    my @many = map { rule(2, $_, 0, "$_") } 1 .. 40;        # 1160 bytes, over 1024
    record($pdb, 0x2005, 0, filter("Many", 10, 1, undef, @many));
    return $pdb;
}

# --- control bytes the desktop XML files cannot hold ---
sub control_tags {
    my $pdb = database("TolvTags", "Tags");
    my $block = pack("n", 0) . pack("a16", "Esc\x1BCat") . pack("a16", "") x 15 . pack("C16", 0 .. 15);
    $pdb->{appinfo} = $block;
    record($pdb, 0x3001, 0, pack("a32 N", "Bell\x07Tag", 1));
    return $pdb;
}

sub control_filters {
    my $pdb = database("TolvFilters", "Filt");
    record($pdb, 0x3002, 0, filter("Esc\x1BTitle", 0x1234, 0, undef, rule(1, 0, 0, "a\x01b\x02c")));
    return $pdb;
}

my $pdb = $what eq "tags" ? tags()
        : $what eq "filters" ? filters()
        : $what eq "control-tags" ? control_tags()
        : $what eq "control-filters" ? control_filters()
        : $what eq "empty-filters" ? database("TolvFilters", "Filt")
        : die "unknown database set '$what'\n";
$pdb->Write("$dir/$pdb->{name}.pdb") or die "cannot write $dir/$pdb->{name}.pdb\n";
