#!/usr/bin/perl
# Writes a small list database with Palm::PDB/Palm::Raw: an app-info block,
# three records (ids 0x101, 0x102, 0x103) of which the last is deleted.
use strict;
use warnings;
use Palm::PDB;
use Palm::Raw;

my $pdb = Palm::Raw->new;
$pdb->{name} = "Tolvk-Perl list";
$pdb->{type} = "Wkdq";
$pdb->{creator} = "Wkdq";
$pdb->{version} = 1;
$pdb->{attributes}{Backup} = 1;
$pdb->{ctime} = 3000000000 - 2082844800;
$pdb->{baktime} = 0 - 2082844800;
$pdb->{modnum} = 7;
$pdb->{uniqueIDseed} = 0x103;
$pdb->{appinfo} = "APPINFO\x00\x01\x02";

my @records = ([0x101, 0, 2, "header\x00"], [0x102, 0x40, 5, "item \xe9t\xe9"], [0x103, 0, 0, "gone"]);
for my $entry (@records) {
  my ($id, $attr, $category, $data) = @$entry;
  my $r = $pdb->append_Record;
  $r->{id} = $id;
  $r->{category} = $category;
  $r->{data} = $data;
  $r->{attributes} = {};
  $r->{attributes}{Dirty} = 1 if $attr & 0x40;
}
$pdb->{records}[2]{attributes}{Delete} = 1;
# Appending records touches the modification date; set it last.
$pdb->{mtime} = 3000000100 - 2082844800;
$pdb->Write($ARGV[0]) or die "cannot write $ARGV[0]\n";
