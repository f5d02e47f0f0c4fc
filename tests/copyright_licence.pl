# copyright_licence.pl COPYRIGHT: parses a package's copyright file as
# dpkg does, paragraph by paragraph, and prints the licence text of its
# Files paragraph as the plain file it came from.  A line that dpkg cannot
# parse ends it with dpkg's message.
use strict;
use warnings;
use Dpkg::Control::HashCore;

my ($file) = @ARGV;
open(my $fh, '<', $file) or die "$file: $!\n";
my @paragraphs;
while (1) {
    my $paragraph = Dpkg::Control::HashCore->new();
    last unless $paragraph->parse($fh, $file);
    push @paragraphs, $paragraph;
}
my ($files) = grep { defined $_->{Files} } @paragraphs;
die "$file: no Files paragraph\n" unless $files;
my (undef, @text) = split /\n/, $files->{License}, -1;
print join("\n", map { $_ eq '.' ? '' : $_ } @text), "\n";
